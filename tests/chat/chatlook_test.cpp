// font.dat and the system colours.
#include "chat/ChatLook.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>

#include "chat/SystemColors.h"
#include "platform/files.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

std::string Joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

TEST(FontDat, FourLinesInTheirExactForm) {
    const ChatLook systemLook{kWindowBackground, kWindowText, "DejaVu Sans", 8.25};
    EXPECT_EQ(FontDatLines(systemLook),
              (std::vector<std::string>{"-2147483643", "-2147483640", "DejaVu Sans", " 8.25"}));
    const ChatLook plain{0x0000FF, 0xFFFFFF, "Nimbus Roman", 12};
    EXPECT_EQ(FontDatLines(plain),
              (std::vector<std::string>{" 255", " 16777215", "Nimbus Roman", " 12"}));

    TempDir dir;
    WriteFontDat(dir.file("font.dat"), systemLook);
    EXPECT_EQ(ReadWholeFile(dir.file("font.dat")),
              "-2147483643\r\n-2147483640\r\nDejaVu Sans\r\n 8.25\r\n");
}

TEST(FontDat, ReadsBackWhatItWrote) {
    const ChatLook fallback{kWindowBackground, kWindowText, "Fallback", 9};
    for (const ChatLook& look : {ChatLook{kWindowBackground, kWindowText, "DejaVu Sans", 8.25},
                                 ChatLook{0x102030, SystemColor(18), "URW Bookman", 14.5},
                                 ChatLook{1, 0x00FFFFFF, "Family, With Comma", 10}}) {
        EXPECT_EQ(ParseFontDat(Joined(FontDatLines(look)), fallback), look) << look.fontName;
    }
}

TEST(FontDat, WhatCannotBeReadKeepsTheDefault) {
    const ChatLook d{kWindowBackground, kWindowText, "Default", 8.25};
    // Fewer than four fields.
    EXPECT_EQ(ParseFontDat(" 255\r\n", d), (ChatLook{255, kWindowText, "Default", 8.25}));
    EXPECT_EQ(ParseFontDat(" 255\r\n 65280\r\nMono\r\n", d), (ChatLook{255, 65280, "Mono", 8.25}));
    // Text where numbers belong, and numbers that are no colour or font size.
    EXPECT_EQ(ParseFontDat("red\r\nblue\r\nMono\r\nbig\r\n", d),
              (ChatLook{kWindowBackground, kWindowText, "Mono", 8.25}));
    EXPECT_EQ(ParseFontDat("99999999999\r\n-1e300\r\n\r\n0\r\n", d), d);
    EXPECT_EQ(ParseFontDat(" 1\r\n 2\r\nMono\r\n-12\r\n", d), (ChatLook{1, 2, "Mono", 8.25}));
    // Lenient numbers: blanks inside are ignored, the number ends where it cannot go on.
    EXPECT_EQ(ParseFontDat("1 2\r\n+3.6abc\r\nMono\r\n 10.5pt\r\n", d),
              (ChatLook{12, 4, "Mono", 10.5}));
    // Binary rubbish.
    EXPECT_EQ(ParseFontDat(std::string("\0\xff\x01\"", 4), d), d);
}

TEST(SystemColors, TextFieldColoursAreNegativeAndMapToThePalette) {
    EXPECT_LT(kWindowBackground, 0);
    EXPECT_LT(kWindowText, 0);
    EXPECT_EQ(PaletteRoleFor(kWindowBackground), QPalette::Base);
    EXPECT_EQ(PaletteRoleFor(kWindowText), QPalette::Text);
    EXPECT_EQ(PaletteRoleFor(SystemColor(15)), QPalette::Button);
    EXPECT_EQ(PaletteRoleFor(SystemColor(99)), std::nullopt);
    EXPECT_EQ(PaletteRoleFor(0x0000FF), std::nullopt);

    const QPalette pal = QApplication::palette();
    for (QPalette::ColorRole role :
         {QPalette::Base, QPalette::Text, QPalette::Window, QPalette::WindowText, QPalette::Button,
          QPalette::ButtonText, QPalette::Highlight, QPalette::HighlightedText, QPalette::Light,
          QPalette::Midlight, QPalette::Mid, QPalette::Dark, QPalette::Shadow,
          QPalette::ToolTipBase, QPalette::ToolTipText, QPalette::Link,
          QPalette::PlaceholderText}) {
        const auto code = SystemColorFor(role);
        ASSERT_TRUE(code.has_value()) << role;
        EXPECT_LT(*code, 0);
        EXPECT_EQ(PaletteRoleFor(*code), role);
        EXPECT_EQ(ResolveColor(*code, pal), pal.color(role)) << role;
    }
    EXPECT_EQ(SystemColorFor(QPalette::Base), kWindowBackground);
    EXPECT_EQ(SystemColorFor(QPalette::Text), kWindowText);
}

TEST(SystemColors, PlainColoursHaveRedInTheLowestByte) {
    const QPalette pal;
    EXPECT_EQ(ResolveColor(0x0000FF, pal), QColor(255, 0, 0));
    EXPECT_EQ(ResolveColor(0x00FF00, pal), QColor(0, 255, 0));
    EXPECT_EQ(ResolveColor(0xFF0000, pal), QColor(0, 0, 255));
    EXPECT_EQ(ResolveColor(0x123456, pal), QColor(0x56, 0x34, 0x12));
    EXPECT_FALSE(ResolveColor(SystemColor(99), pal).isValid());
}

TestWindow::Options WithFontDat(const std::string& content) {
    TestWindow::Options o;
    o.beforeStart = [content](const std::string& folder) {
        TextWriter w(folder + "font.dat");
        w.Write(content);
        w.Close();
    };
    return o;
}

TEST(FontDatAtStartUp, IsAppliedToTheChatListOnly) {
    TestWindow w(WithFontDat(" 255\r\n 16776960\r\nDejaVu Serif\r\n 14.25\r\n"));
    auto* chat = w.find<QListWidget>("List2");
    EXPECT_EQ(chat->palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_EQ(chat->palette().color(QPalette::Text), QColor(0, 255, 255));
    EXPECT_EQ(chat->font().family(), "DejaVu Serif");
    EXPECT_DOUBLE_EQ(chat->font().pointSizeF(), 14.25);

    auto* status = w.find<QListWidget>("List1");
    EXPECT_EQ(status->palette().color(QPalette::Base),
              QApplication::palette(status).color(QPalette::Base));
    EXPECT_NE(status->font().family(), "DejaVu Serif");
    EXPECT_TRUE(w.messages.empty());
}

TEST(FontDatAtStartUp, SystemColoursAndEightAndAQuarterPointsComeBack) {
    TestWindow w(WithFontDat("-2147483643\r\n-2147483640\r\nDejaVu Sans\r\n 8.25\r\n"));
    auto* chat = w.find<QListWidget>("List2");
    const QPalette system = QApplication::palette(chat);
    EXPECT_EQ(chat->palette().color(QPalette::Base), system.color(QPalette::Base));
    EXPECT_EQ(chat->palette().color(QPalette::Text), system.color(QPalette::Text));
    EXPECT_DOUBLE_EQ(chat->font().pointSizeF(), 8.25);
}

TEST(FontDatAtStartUp, GarbageDoesNotStopStartUp) {
    TestWindow w(WithFontDat("this is not\r\na font file"));
    auto* chat = w.find<QListWidget>("List2");
    EXPECT_EQ(chat->palette().color(QPalette::Base),
              QApplication::palette(chat).color(QPalette::Base));
    EXPECT_EQ(w->state().PortStr, "7777");
    EXPECT_TRUE(w.messages.empty());
}

}  // namespace
}  // namespace keyvane::test
