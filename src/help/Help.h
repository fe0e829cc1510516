// The help viewer's address and sizing, and the texts of the About window.
#pragma once

#include <string>

namespace keyvane {

// Full path of the help page, set by "Using Keyvane" and read by the viewer.
extern std::string HelpPath;

// The address the viewer is sent to: "file:///" and the path, the path unchanged except
// that a leading "/" is not doubled.
std::string HelpUrl(const std::string& helpPath);

// The web view's size in twips for a viewer whose outer size (frame and title bar
// included) is `outer`: 60 narrower and 510 lower, never below 0.
struct TwipSize {
    int width = 0;
    int height = 0;
};
TwipSize BrowserViewSize(TwipSize outer);

// The About window's notice line, credit line and notice paragraph.
extern const char* const kAboutNotice;
extern const char* const kAboutCredit;
extern const char* const kAboutParagraph;

}  // namespace keyvane
