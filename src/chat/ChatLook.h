// The chat list's look: its two colours, font name and size, the settings file font.dat
// that keeps it, and the rules of the appearance window's choosers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace keyvane {

// Colours are 0x00BBGGRR; with the top bit set they name a system colour by its index in
// the low byte, and read as signed they are negative.
constexpr int32_t SystemColor(int index) {
    return static_cast<int32_t>(0x80000000u | index);
}
constexpr bool IsSystemColor(int32_t c) {
    return c < 0;
}
constexpr int32_t kWindowBackground = SystemColor(5);  // text-field background
constexpr int32_t kWindowText = SystemColor(8);        // text-field text

struct ChatLook {
    int32_t back = kWindowBackground;
    int32_t fore = kWindowText;
    std::string fontName;  // Windows-1252
    double fontSize = 0;   // points

    bool operator==(const ChatLook&) const = default;
};

// The four lines of font.dat, without their line ends.
std::vector<std::string> FontDatLines(const ChatLook& look);

// Writes font.dat whole; throws FileError when it cannot.
void WriteFontDat(const std::string& path, const ChatLook& look);

// The look stored in the content of a font.dat. What cannot be read (a missing field,
// text where a number belongs, a colour out of range, a size that is no font size) is
// taken from `fallback`.
ChatLook ParseFontDat(const std::string& content, const ChatLook& fallback);

// The appearance window's logic. The sample holds the choice while the window is open;
// the choosers remember what they last returned (colour 0 and no font when the window
// opens) and a cancelled chooser leaves that memory as it was.
class FontWindowLogic {
  public:
    FontWindowLogic(Platform& platform, ChatLook defaults) : p_(platform), sample_(defaults) {}

    const ChatLook& sample() const { return sample_; }

    void PickBackground();  // "Background Color"
    void PickCharacter();   // "Character Color"
    void PickFont();        // "Font"
    // "Set": writes font.dat from the sample. When it cannot be written the user is told
    // and false comes back; the sample is still the choice to apply.
    bool Set(const std::string& fontDatPath);

  private:
    std::optional<int32_t> PickColor();

    Platform& p_;
    ChatLook sample_;
    int32_t color_ = 0;
    std::string fontName_;
    double fontSize_ = 0;
};

}  // namespace keyvane
