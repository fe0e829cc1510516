#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/files.h"
#include "support/tempdir.h"
#include "sysfiles/SystemFolders.h"

namespace keyvane {
namespace {

void Touch(const std::string& path) {
    WriteTextLines(path, {"x"});
}

// Sets an environment variable for one test.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(WinePaths, DrivesMapIntoThePrefixOrTheHomeWine) {
    EXPECT_EQ(WineDrivePath("c:\\veltra\\system\\", "/opt/pfx", "/home/u"),
              "/opt/pfx/drive_c/veltra/system/");
    EXPECT_EQ(WineDrivePath("C:\\veltra\\email99\\system\\", "", "/home/u"),
              "/home/u/.wine/drive_c/veltra/email99/system/");
    EXPECT_EQ(WineDrivePath("c:\\", "/opt/pfx/", "/home/u"), "/opt/pfx/drive_c/");
    EXPECT_EQ(WineDrivePath("d:\\data", "/p", ""), "/p/dosdevices/d:/data");
}

TEST(WinePaths, FolderNamesMatchWithoutRegardToCase) {
    test::TempDir pfx;
    std::filesystem::create_directories(pfx.file("drive_c/Veltra/Chat/SYSTEM"));
    std::filesystem::create_directories(pfx.file("drive_c/Veltra/system"));
    Touch(pfx.file("drive_c/Veltra/Chat/SYSTEM/a.dat"));
    ScopedEnv env("WINEPREFIX", pfx.path().c_str());
    EXPECT_EQ(ProductFolder(4, ""), pfx.file("drive_c/Veltra/Chat/SYSTEM/"));
    EXPECT_EQ(ProductFolder(5, ""), pfx.file("drive_c/Veltra/Chat/SYSTEM/"));
    EXPECT_EQ(ProductFolder(1, ""), pfx.file("drive_c/Veltra/system/"));
    // A missing folder keeps the name it was asked for and lists nothing.
    EXPECT_EQ(ProductFolder(3, ""), pfx.file("drive_c/Veltra/email99/system/"));
    EXPECT_TRUE(ListPlainFiles(ProductFolder(3, "")).empty());
    // Version 5.5.2: the system folder below the picked one.
    std::filesystem::create_directories(pfx.file("prog/System"));
    EXPECT_EQ(ProductFolder(2, pfx.file("prog/")), pfx.file("prog/System/"));
}

TEST(WinePaths, WithoutPrefixTheHomeWineIsUsed) {
    test::TempDir home;
    std::filesystem::create_directories(home.file(".wine/drive_c/VELTRA/SYSTEM"));
    ScopedEnv env("WINEPREFIX", nullptr);
    ScopedEnv envHome("HOME", home.path().c_str());
    EXPECT_EQ(ProductFolder(1, ""), home.file(".wine/drive_c/VELTRA/SYSTEM/"));
}

TEST(SystemFolderListing, PlainVisibleFilesInFileSystemOrder) {
    test::TempDir d;
    for (const char* n : {"b.dat", "A.DAT", "c.prt", ".hidden", "zeta", "m.txt"}) Touch(d.file(n));
    std::filesystem::create_directories(d.file("sub.dat"));
    ASSERT_EQ(::symlink(d.file("zeta").c_str(), d.file("link.dat").c_str()), 0);
    ASSERT_EQ(::symlink(d.file("sub.dat").c_str(), d.file("dirlink").c_str()), 0);

    std::vector<std::string> expected;  // as the file system hands them out
    for (const auto& e : std::filesystem::directory_iterator(d.path())) {
        const std::string n = e.path().filename().string();
        if (n[0] != '.' && std::filesystem::is_regular_file(e.path())) expected.push_back(n);
    }
    const std::vector<std::string> names = ListPlainFiles(d.path());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(names.size(), 6u);  // five files and the link to one
    EXPECT_EQ(std::count(names.begin(), names.end(), ".hidden"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "sub.dat"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "dirlink"), 0);
    EXPECT_TRUE(ListPlainFiles(d.file("nowhere/")).empty());
}

TEST(SystemFolderListing, WineHiddenAndSystemAttributesAreSkipped) {
    test::TempDir d;
    Touch(d.file("shown.dat"));
    Touch(d.file("hidden.dat"));
    Touch(d.file("system.dat"));
    if (::setxattr(d.file("hidden.dat").c_str(), "user.DOSATTRIB", "0x2", 3, 0) != 0 ||
        ::setxattr(d.file("system.dat").c_str(), "user.DOSATTRIB", "0x24", 4, 0) != 0)
        GTEST_SKIP() << "no user extended attributes here";
    ::setxattr(d.file("shown.dat").c_str(), "user.DOSATTRIB", "0x20", 4, 0);
    EXPECT_EQ(ListPlainFiles(d.path()), std::vector<std::string>{"shown.dat"});
}

TEST(SystemFolderListing, ExclusionsCompareLowerCasedNames) {
    const auto& table = VersionTable();
    const std::vector<std::string> names = {"Pass.DAT",   "pass.dat.bak", "LOG.dat",
                                            "cdbook.dat", "SMTP.PRT",     "x.bin"};
    EXPECT_EQ(EligibleNames(names, table[0].notSent),
              (std::vector<std::string>{"pass.dat.bak", "SMTP.PRT", "x.bin"}));
    EXPECT_EQ(EligibleNames(names, table[1].notSent), EligibleNames(names, table[0].notSent));
    EXPECT_EQ(EligibleNames(names, table[2].notSent),
              (std::vector<std::string>{"Pass.DAT", "pass.dat.bak", "cdbook.dat", "x.bin"}));
    EXPECT_EQ(EligibleNames(names, table[3].notSent), names);
    EXPECT_EQ(EligibleNames(names, table[4].notSent), names);
}

}  // namespace
}  // namespace keyvane
