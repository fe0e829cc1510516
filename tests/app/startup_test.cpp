// Start-up's effects on the program folder and the window, the status list and the
// activity bars.
#include "app/StartUp.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <filesystem>

#include "app/PacedDisplay.h"
#include "platform/files.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

TestWindow::Options WithFile(const std::string& name, const std::string& content) {
    TestWindow::Options o;
    o.beforeStart = [=](const std::string& folder) {
        TextWriter w(folder + name);
        w.Write(content);
        w.Close();
    };
    return o;
}

TEST(StartUp, FreshFolder) {
    TestWindow w;
    EXPECT_EQ(w->sdk().AppFolder, w.folder());
    EXPECT_EQ(w->transfer().State().Recv, w.folder() + "Recv/");
    EXPECT_TRUE(std::filesystem::is_directory(w.folder() + "Recv"));

    EXPECT_EQ(w->state().PortStr, "7777");
    EXPECT_EQ(ReadWholeFile(w.file("port.dat")), "7777\r\n");
    EXPECT_EQ(w.find<QLineEdit>("txtPort")->text(), "7777");

    EXPECT_EQ(w.find<QLineEdit>("txtIP")->text(), "127.0.0.1");
    EXPECT_EQ(w->IPText(), "127.0.0.1");
    EXPECT_EQ(w.find<QLineEdit>("txtConnect")->text(), "");
    EXPECT_EQ(w.find<QLineEdit>("txtKey")->text(), "");
    EXPECT_EQ(w.find<QListWidget>("List1")->count(), 0);
    EXPECT_EQ(w.find<QListWidget>("List2")->count(), 0);
    EXPECT_EQ(w.find<QLabel>("lbSent")->text(), "");
    EXPECT_EQ(w.find<QLabel>("lbRecv")->text(), "");
    for (const char* send : {"Command3", "Command4", "Command5"})
        EXPECT_FALSE(w.find<QPushButton>(send)->isEnabled()) << send;
    EXPECT_TRUE(w.find<QPushButton>("Command6")->isEnabled());
    EXPECT_FALSE(w.find<QProgressBar>("ProgressBar1")->isVisible());
    EXPECT_EQ(w->SelectedVersion(), 0);

    // No font.dat: an empty one is left behind and nothing is said.
    EXPECT_TRUE(FileExists(w.file("font.dat")));
    EXPECT_EQ(ReadWholeFile(w.file("font.dat")), "");
    EXPECT_TRUE(w.messages.empty());
    EXPECT_FALSE(w->state().IsConnected || w->state().IsHost() || w->state().IsClient());
}

TEST(StartUp, EmptyPortDatIsRewritten) {
    TestWindow w(WithFile("port.dat", ""));
    EXPECT_EQ(w->state().PortStr, "7777");
    EXPECT_EQ(ReadWholeFile(w.file("port.dat")), "7777\r\n");
}

TEST(StartUp, OnlyTheFirstLineOfPortDatCountsAndItIsKeptAsWritten) {
    TestWindow w(WithFile("port.dat", "8080\r\n9090\r\n"));
    EXPECT_EQ(w->state().PortStr, "8080");
    EXPECT_EQ(w.find<QLineEdit>("txtPort")->text(), "8080");
    EXPECT_EQ(ReadWholeFile(w.file("port.dat")), "8080\r\n9090\r\n");

    TestWindow odd(WithFile("port.dat", " 80x81"));
    EXPECT_EQ(odd->state().PortStr, " 80x81");
}

TEST(StartUp, UnreadableSettingsDoNotStopIt) {
    TestWindow::Options o;
    o.beforeStart = [](const std::string& folder) {
        // Folders where the files belong: they can be neither read nor written.
        std::filesystem::create_directory(folder + "port.dat");
        std::filesystem::create_directory(folder + "font.dat");
    };
    TestWindow w(o);
    EXPECT_EQ(w->state().PortStr, "7777");
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_NE(w.messages[0].find("port.dat"), std::string::npos);
    EXPECT_NE(w.messages[0].find("font.dat"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(w.folder() + "Recv"));
}

TEST(StartUp, ExistingRecvFolderIsFine) {
    TestWindow::Options o;
    o.beforeStart = [](const std::string& folder) {
        std::filesystem::create_directory(folder + "Recv");
        WriteTextLines(folder + "Recv/kept.txt", {"x"});
    };
    TestWindow w(o);
    EXPECT_TRUE(FileExists(w.folder() + "Recv/kept.txt"));
    EXPECT_TRUE(w.messages.empty());
}

// Rows of a height at which exactly `n` lines fit the list, whatever fonts the machine has.
class RowsThatFit : public QStyledItemDelegate {
  public:
    RowsThatFit(QListWidget* list, int n) : QStyledItemDelegate(list), list_(list), n_(n) {
        list->setItemDelegate(this);
        list->setUniformItemSizes(true);
    }
    QSize sizeHint(const QStyleOptionViewItem& o, const QModelIndex& i) const override {
        return {QStyledItemDelegate::sizeHint(o, i).width(), list_->viewport()->height() / n_};
    }

  private:
    QListWidget* list_;
    int n_;
};

bool LastLineVisible(QListWidget* list) {
    const QRect r = list->visualItemRect(list->item(list->count() - 1));
    return list->viewport()->rect().contains(r);
}

TEST(MainWindow, NothingMovesWhenItIsResized) {
    TestWindow w;
    std::vector<std::pair<QWidget*, QRect>> before;
    for (QWidget* c : w->centralWidget()->findChildren<QWidget*>())
        if (!c->objectName().isEmpty() && !c->objectName().startsWith("qt_"))
            before.emplace_back(c, c->geometry());
    ASSERT_GT(before.size(), 30u);
    w->resize(1000, 800);
    QCoreApplication::processEvents();
    w->resize(300, 200);
    QCoreApplication::processEvents();
    for (auto& [c, g] : before) EXPECT_EQ(c->geometry(), g) << c->objectName().toStdString();
}

TEST(MainWindow, EveryControlHasANameToSpeakAndTakesTheKeyboard) {
    TestWindow w;
    for (QWidget* c : w->centralWidget()->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c) ||
                             qobject_cast<QListWidget*>(c);
        if (!control || c->objectName().startsWith("qt_")) continue;
        const auto* b = qobject_cast<QAbstractButton*>(c);
        EXPECT_FALSE(c->accessibleName().isEmpty() && (!b || b->text().isEmpty()))
            << c->objectName().toStdString();
        EXPECT_TRUE(c->focusPolicy() & Qt::TabFocus) << c->objectName().toStdString();
    }
    EXPECT_EQ(w.find<QLineEdit>("txtIP")->accessibleName(), "Your IP Addr");
    EXPECT_EQ(w.find<QLineEdit>("txtPort")->accessibleName(), "Port");
    EXPECT_EQ(w.find<QLineEdit>("txtConnect")->accessibleName(), "Connect to IP Addr");
    EXPECT_EQ(w.find<QLineEdit>("txtKey")->accessibleName(), "Key to Send");
    EXPECT_EQ(w.find<QListWidget>("List1")->accessibleName(), "Status");
    EXPECT_EQ(w.find<QListWidget>("List2")->accessibleName(), "Chat");
    EXPECT_EQ(w.find<QLineEdit>("txtChat")->accessibleName(), "Chat line");
    EXPECT_EQ(w.find<QLineEdit>("txtKey")->maxLength(), 18);
    EXPECT_EQ(w->windowTitle(), "Veltra Encryption Keyvane");
}

TEST(StatusList, KeepsTheLastTwelveLinesInView) {
    TestWindow w;
    auto* list = w.find<QListWidget>("List1");
    RowsThatFit rows(list, 12);
    for (int i = 1; i <= 12; ++i) w->UpdateList("line " + std::to_string(i));
    QCoreApplication::processEvents();
    EXPECT_EQ(TopIndex(list), 0);

    w->UpdateList("line 13");
    QCoreApplication::processEvents();
    EXPECT_EQ(list->count(), 13);
    EXPECT_EQ(TopIndex(list), 1);
    EXPECT_EQ(list->item(0)->text(), "line 1");

    for (int i = 14; i <= 30; ++i) w->UpdateList("line " + std::to_string(i));
    QCoreApplication::processEvents();
    EXPECT_EQ(list->count(), 30);
    EXPECT_EQ(TopIndex(list), 18);
}

TEST(StatusList, ShowsWindows1252TextAsItsCharacters) {
    TestWindow w;
    w->UpdateList("Receiving File caf\xE9 \x80.txt");
    EXPECT_EQ(w.find<QListWidget>("List1")->item(0)->text(),
              QString::fromUtf8("Receiving File café €.txt"));
}

TEST(ChatList, KeepsTheLastSevenLinesInView) {
    TestWindow w;
    auto* list = w.find<QListWidget>("List2");
    RowsThatFit rows(list, 7);
    for (int i = 1; i <= 7; ++i) w->UpdateChatList("<" + std::to_string(i) + ">");
    QCoreApplication::processEvents();
    EXPECT_EQ(TopIndex(list), 0);
    w->UpdateChatList("8");
    QCoreApplication::processEvents();
    EXPECT_EQ(TopIndex(list), 1);
    for (int i = 9; i <= 20; ++i) w->UpdateChatList(std::to_string(i));
    QCoreApplication::processEvents();
    EXPECT_EQ(TopIndex(list), 13);
}

TEST(ChatList, ANewLineIsVisibleEvenInAFontWhereFewerThanSevenFit) {
    TestWindow w;
    auto* list = w.find<QListWidget>("List2");
    RowsThatFit rows(list, 3);
    for (int i = 1; i <= 10; ++i) {
        w->UpdateChatList(std::to_string(i));
        QCoreApplication::processEvents();
        EXPECT_TRUE(LastLineVisible(list)) << i;
    }
}

TEST(ActivityBars, StartOverAfterSixtyOneBars) {
    std::string bar;
    for (int i = 0; i < 61; ++i) bar = NextActivityBar(bar);
    EXPECT_EQ(bar, std::string(61, '|'));
    EXPECT_EQ(NextActivityBar(bar), "|");

    // The window's bars are exact at every event; the labels catch up soon after.
    TestWindow w;
    auto shows = [&](const char* label, const std::string& want) {
        return WaitUntil([&] { return w.find<QLabel>(label)->text().toStdString() == want; });
    };
    for (int i = 0; i < 61; ++i) w->BumpRecvBar();
    EXPECT_EQ(w->display().RecvBar(), std::string(61, '|'));
    EXPECT_TRUE(shows("lbRecv", std::string(61, '|')));
    w->BumpRecvBar();
    EXPECT_EQ(w->display().RecvBar(), "|");
    EXPECT_TRUE(shows("lbRecv", "|"));
    for (int i = 0; i < 62 + 3; ++i) w->BumpSentBar();
    EXPECT_EQ(w->display().SentBar(), "||||");
    EXPECT_TRUE(shows("lbSent", "||||"));
}

TEST(ActivityBars, PaintedAtMostThirtyTimesASecondAndInFullBeforeAStatusLine) {
    // Ten thousand reads in one second of a made-up clock, the progress moving too.
    PacedDisplay d;
    std::string bar;
    int paints = 0;
    for (int64_t us = 0; us < 1'000'000; us += 100) {
        d.BumpRecv();
        bar = NextActivityBar(bar);
        d.SetProgress(static_cast<int>(us / 10'000));
        if (d.WaitMs(us / 1000) == 0) {
            d.Painted(us / 1000);
            ++paints;
        }
    }
    EXPECT_EQ(d.RecvBar(), bar);
    EXPECT_EQ(d.Progress(), 99);
    EXPECT_GE(paints, 29);
    EXPECT_LE(paints, 31);
    EXPECT_TRUE(d.Pending());

    // A window whose clock stands still paints nothing between start-up and the status
    // line, which shows the bars and the progress exactly.
    TestWindow::Options o;
    o.adjust = [](Platform& p) { p.MonotonicMs = [] { return int64_t{5000}; }; };
    TestWindow w(o);
    for (int i = 0; i < 100; ++i) {
        w->BumpRecvBar();
        w->SetProgress(i);
    }
    w->BumpSentBar();
    EXPECT_EQ(w.find<QLabel>("lbRecv")->text(), "");
    EXPECT_EQ(w.find<QLabel>("lbSent")->text(), "");
    w->UpdateList("File received.");
    EXPECT_EQ(w.find<QLabel>("lbRecv")->text(), QString(100 - 61, '|'));
    EXPECT_EQ(w.find<QLabel>("lbSent")->text(), "|");
    EXPECT_EQ(w.find<QProgressBar>("ProgressBar1")->value(), 99);
}

}  // namespace
}  // namespace keyvane::test
