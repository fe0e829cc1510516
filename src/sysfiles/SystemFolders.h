// The version table and where each version's system files are found on this system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace keyvane {

// One row of the version table. `folder` is the product's Windows folder; it is empty
// for version 5.5.2, whose folder is the picked one + "system\".
struct VersionRow {
    int row;  // as MainView::SelectedVersion reports it
    std::string_view folder;
    std::vector<std::string_view> notSent;  // lower case
};
const std::vector<VersionRow>& VersionTable();

// A Windows drive path such as "c:\veltra\system\" inside the Wine prefix: drive c is
// <prefix>/drive_c, other drives <prefix>/dosdevices/<letter>:. The prefix is
// `winePrefix` when not empty, else `home` + "/.wine". Keeps a trailing separator.
std::string WineDrivePath(std::string_view windowsPath, std::string_view winePrefix,
                          std::string_view home);

// `base` (an existing native folder) followed by `rest` ("a/b/c/"), each name of `rest`
// matched without regard to case against what the folder holds, as Windows would. A
// name with no match is kept as given.
std::string ResolveNoCase(const std::string& base, std::string_view rest);

// The native folder scanned for a row (with a trailing separator). `productPath` is
// the picker's result for version 5.5.2.
std::string ProductFolder(int row, const std::string& productPath);

// Names of the plain files of a folder in the order the file system lists them:
// no folders, no hidden files. A folder that cannot be read gives none.
std::vector<std::string> ListPlainFiles(const std::string& folder);

// The names that are sent: those whose lower-cased form is not in `notSent`.
std::vector<std::string> EligibleNames(const std::vector<std::string>& names,
                                       const std::vector<std::string_view>& notSent);

}  // namespace keyvane
