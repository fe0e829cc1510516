// The help viewer and the About window.
#include "help/Help.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTextBrowser>

#include "help/frmAbout.h"
#include "help/frmBrowser.h"
#include "platform/files.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

TEST(HelpAddress, IsFileSlashSlashSlashAndThePath) {
    EXPECT_EQ(HelpUrl("C:\\Tools\\overview.htm"), "file:///C:\\Tools\\overview.htm");
    EXPECT_EQ(HelpUrl("/opt/keyvane/overview.htm"), "file:///opt/keyvane/overview.htm");
    EXPECT_EQ(HelpUrl("/a b/#1/overview.htm"), "file:///a b/#1/overview.htm");
}

TEST(HelpViewerSize, IsTheOuterSizeLessFrameAndTitleNeverNegative) {
    const TwipSize v = BrowserViewSize({8000, 6000});
    EXPECT_EQ(v.width, 7940);
    EXPECT_EQ(v.height, 5490);
    const TwipSize tiny = BrowserViewSize({45, 300});
    EXPECT_EQ(tiny.width, 0);
    EXPECT_EQ(tiny.height, 0);
    const TwipSize edge = BrowserViewSize({60, 510});
    EXPECT_EQ(edge.width, 0);
    EXPECT_EQ(edge.height, 0);
}

// Opens a window from the main window's menu and hands it to `look` while it is open.
template <class Window>
void WhileOpen(TestWindow& w, const char* entry, const std::function<void(Window*)>& look) {
    bool ran = false;
    OnNextModal([&](QWidget* modal) {
        ran = true;
        auto* win = dynamic_cast<Window*>(modal);
        EXPECT_NE(win, nullptr);
        if (win) look(win);
        modal->close();
    });
    w.click(entry);
    EXPECT_TRUE(ran) << entry;
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

QString PageText(frmBrowser* b) {
    return b->findChild<QTextBrowser*>("WebBrowser1")->toPlainText();
}

TEST(HelpViewer, AMissingPageSaysSo) {
    TestWindow w;
    WhileOpen<frmBrowser>(w, "hlp", [&](frmBrowser* b) {
        EXPECT_EQ(b->address(), HelpUrl(w.file("overview.htm")));
        EXPECT_FALSE(b->pageFound());
        EXPECT_TRUE(PageText(b).contains("Page not found"));
        EXPECT_EQ(b->windowTitle(), "Help File");
    });
    EXPECT_EQ(HelpPath, w.file("overview.htm"));
}

TEST(HelpViewer, LoadsThePageFreshAtEveryOpening) {
    TestWindow w;
    WriteTextLines(w.file("overview.htm"), {"<html><body><h1>First</h1></body></html>"});
    WhileOpen<frmBrowser>(w, "hlp", [](frmBrowser* b) {
        EXPECT_TRUE(b->pageFound());
        EXPECT_TRUE(PageText(b).contains("First"));
    });
    WriteTextLines(w.file("overview.htm"), {"<html><body><h1>Second</h1></body></html>"});
    WhileOpen<frmBrowser>(w, "hlp", [](frmBrowser* b) {
        EXPECT_TRUE(PageText(b).contains("Second"));
        EXPECT_FALSE(PageText(b).contains("First"));
    });
}

TEST(HelpViewer, TheViewFollowsTheWindowSize) {
    TestWindow w;
    HelpPath = w.file("overview.htm");
    frmBrowser b(&w.win());
    b.show();
    auto* view = b.findChild<QTextBrowser*>("WebBrowser1");
    for (QSize size : {QSize(600, 400), QSize(900, 700), QSize(20, 20)}) {
        b.resize(size);
        QCoreApplication::processEvents();
        const QSize outer = b.frameGeometry().size();
        // 60 and 510 twips are 4 and 34 pixels.
        EXPECT_EQ(view->width(), std::clamp(outer.width() - 4, 0, b.width())) << size.width();
        EXPECT_EQ(view->height(), std::clamp(outer.height() - 34, 0, b.height())) << size.height();
    }
}

TEST(About, ShowsTheSameTextsAtEveryOpening) {
    TestWindow w;
    std::vector<QString> seen;
    for (int i = 0; i < 2; ++i) {
        WhileOpen<frmAbout>(w, "hlpabt", [&](frmAbout* a) {
            EXPECT_EQ(a->windowTitle(), "About Veltra Encryption Email 6.0");
            EXPECT_EQ(a->findChild<QLabel*>("Label1")->text(), "Veltra Encryption Email 6.0");
            for (const char* name : {"Label2", "Label3", "Label4"}) {
                const QString text = a->findChild<QLabel*>(name)->text();
                EXPECT_FALSE(text.isEmpty()) << name;
                seen.push_back(text);
            }
        });
    }
    ASSERT_EQ(seen.size(), 6u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(seen[i], seen[i + 3]);
}

TEST(About, DoneClosesIt) {
    TestWindow w;
    frmAbout a(&w.win());
    a.show();
    ASSERT_TRUE(a.isVisible());
    a.findChild<QAbstractButton*>("Command1")->click();
    EXPECT_FALSE(a.isVisible());
    EXPECT_EQ(a.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace keyvane::test
