// The appearance window driven through its buttons, with the choosers answered by the test.
#include "chat/frmFont.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>

#include "chat/SystemColors.h"
#include "platform/files.h"
#include "platform/qt/QtPlatform.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

constexpr int32_t kRed = Rgb(255, 0, 0);
constexpr int32_t kBlue = Rgb(0, 0, 255);

void Click(QWidget* window, const char* name) {
    auto* b = window->findChild<QPushButton*>(name);
    ASSERT_NE(b, nullptr) << name;
    b->click();
}

struct FontWindowTest : ::testing::Test {
    TestWindow w;
    frmFont dlg{w->platform(), w.file("font.dat"), &w.win()};
    const ChatLook defaults = w->DefaultChatLook();
};

TEST_F(FontWindowTest, OpensWithTheSampleInTheDefaultLook) {
    auto* sample = dlg.findChild<QPlainTextEdit*>("Text1");
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->toPlainText(), "This is\nhow we\nwant this\nto look.");
    EXPECT_EQ(dlg.look(), defaults);
    EXPECT_EQ(dlg.look().back, kWindowBackground);
    EXPECT_EQ(dlg.look().fore, kWindowText);
    EXPECT_EQ(dlg.windowTitle(), "Font");
}

TEST_F(FontWindowTest, CancelledChoosersBeforeAnyChoiceChangeNothing) {
    Click(&dlg, "Command1");
    Click(&dlg, "Command2");
    Click(&dlg, "Command3");
    EXPECT_EQ(dlg.look(), defaults);
}

TEST_F(FontWindowTest, BlackIsNeverApplied) {
    w.colorAnswers = {0, kRed, 0};
    Click(&dlg, "Command1");
    EXPECT_EQ(dlg.look().back, kWindowBackground);
    Click(&dlg, "Command2");
    EXPECT_EQ(dlg.look().fore, kRed);
    Click(&dlg, "Command1");  // black after red: the chooser now holds 0
    EXPECT_EQ(dlg.look().back, kWindowBackground);
}

TEST_F(FontWindowTest, ACancelledChooserAppliesTheLastAcceptedChoiceAgain) {
    w.colorAnswers = {kRed};
    Click(&dlg, "Command1");
    EXPECT_EQ(dlg.look().back, kRed);
    Click(&dlg, "Command2");  // cancelled
    EXPECT_EQ(dlg.look().fore, kRed);
    auto* sample = dlg.findChild<QPlainTextEdit*>("Text1");
    EXPECT_EQ(sample->palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_EQ(sample->palette().color(QPalette::Text), QColor(255, 0, 0));
}

TEST_F(FontWindowTest, FontTakesNameAndSizeOnly) {
    w.fontAnswers = {FontChoice{"DejaVu Serif", 15.5}};
    Click(&dlg, "Command3");
    EXPECT_EQ(dlg.look().fontName, "DejaVu Serif");
    EXPECT_DOUBLE_EQ(dlg.look().fontSize, 15.5);
    auto* sample = dlg.findChild<QPlainTextEdit*>("Text1");
    EXPECT_EQ(sample->font().family(), "DejaVu Serif");
    EXPECT_DOUBLE_EQ(sample->font().pointSizeF(), 15.5);
    Click(&dlg, "Command3");  // cancelled: the same font again
    EXPECT_EQ(dlg.look().fontName, "DejaVu Serif");
}

// Opens the window with "Font..." and runs `drive` on it while it is open.
void WithFontWindow(TestWindow& w, const std::function<void(QWidget*)>& drive) {
    bool ran = false;
    OnNextModal([&](QWidget* modal) {
        ran = true;
        EXPECT_NE(dynamic_cast<frmFont*>(modal), nullptr);
        drive(modal);
    });
    w.click("Command7");
    EXPECT_TRUE(ran);
}

TEST(FontWindow, SetStoresTheChoiceAndAppliesItToTheChatListOnly) {
    TestWindow w;
    w.colorAnswers = {kBlue};
    w.fontAnswers = {FontChoice{"DejaVu Serif", 8.25}};
    WithFontWindow(w, [](QWidget* dlg) {
        Click(dlg, "Command1");
        Click(dlg, "Command3");
        Click(dlg, "Command4");
    });
    EXPECT_EQ(ReadWholeFile(w.file("font.dat")),
              " 16711680\r\n-2147483640\r\nDejaVu Serif\r\n 8.25\r\n");
    auto* chat = w.find<QListWidget>("List2");
    EXPECT_EQ(chat->palette().color(QPalette::Base), QColor(0, 0, 255));
    EXPECT_EQ(chat->font().family(), "DejaVu Serif");
    EXPECT_NE(w.find<QListWidget>("List1")->palette().color(QPalette::Base), QColor(0, 0, 255));
    EXPECT_NE(w.find<QWidget>("txtChat")->font().family(), "DejaVu Serif");

    // The next start finds it again.
    TestWindow::Options o;
    o.beforeStart = [&](const std::string& folder) {
        CopyFileReplacing(w.file("font.dat"), folder + "font.dat");
    };
    TestWindow again(o);
    EXPECT_EQ(again.find<QListWidget>("List2")->palette().color(QPalette::Base), QColor(0, 0, 255));
    EXPECT_DOUBLE_EQ(again.find<QListWidget>("List2")->font().pointSizeF(), 8.25);
}

TEST(FontWindow, CancelLeavesFontDatAndTheChatListAlone) {
    TestWindow w;
    w.colorAnswers = {kRed};
    WithFontWindow(w, [](QWidget* dlg) {
        Click(dlg, "Command1");
        Click(dlg, "Command5");
    });
    EXPECT_EQ(ReadWholeFile(w.file("font.dat")), "");
    auto* chat = w.find<QListWidget>("List2");
    EXPECT_NE(chat->palette().color(QPalette::Base), QColor(255, 0, 0));
}

TEST(FontWindow, SetAtOnceBringsBackTheDefaultLook) {
    TestWindow::Options o;
    o.beforeStart = [](const std::string& folder) {
        WriteTextLines(folder + "font.dat", {" 255", " 65280", "DejaVu Serif", " 20"});
    };
    TestWindow w(o);
    WithFontWindow(w, [](QWidget* dlg) { Click(dlg, "Command4"); });
    std::string expected;
    for (const auto& line : FontDatLines(w->DefaultChatLook())) expected += line + "\r\n";
    EXPECT_EQ(ReadWholeFile(w.file("font.dat")), expected);
    EXPECT_EQ(expected.substr(0, 26), "-2147483643\r\n-2147483640\r\n");
    auto* chat = w.find<QListWidget>("List2");
    EXPECT_EQ(chat->palette().color(QPalette::Base),
              QApplication::palette(chat).color(QPalette::Base));
    EXPECT_EQ(chat->font().family(), QFontInfo(WindowFont()).family());
}

TEST(FontWindow, EveryOpeningStartsAfresh) {
    TestWindow w;
    w.colorAnswers = {kRed};
    WithFontWindow(w, [](QWidget* dlg) {
        Click(dlg, "Command1");
        Click(dlg, "Command5");
    });
    WithFontWindow(w, [](QWidget* dlg) {
        Click(dlg, "Command2");  // cancelled: this opening's chooser holds nothing yet
        EXPECT_EQ(static_cast<frmFont*>(dlg)->look().fore, kWindowText);
        EXPECT_EQ(static_cast<frmFont*>(dlg)->look().back, kWindowBackground);
        Click(dlg, "Command5");
    });
}

TEST(FontWindow, AFontDatThatCannotBeWrittenIsReportedAndTheLookStillApplies) {
    TestWindow::Options o;
    o.beforeStart = [](const std::string& folder) {
        std::filesystem::create_directory(folder + "font.dat");
    };
    TestWindow w(o);
    w.messages.clear();  // start-up's word about the unreadable font.dat
    w.colorAnswers = {kRed};
    WithFontWindow(w, [](QWidget* dlg) {
        Click(dlg, "Command1");
        Click(dlg, "Command4");
    });
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_NE(w.messages[0].find("could not be saved"), std::string::npos);
    EXPECT_EQ(w.find<QListWidget>("List2")->palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace keyvane::test
