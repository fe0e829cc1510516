// The Qt platform pieces: what the boxes and choosers show and hand back, the clock,
// the random source, the local address and the event-loop waits.
#include "platform/qt/QtPlatform.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QColorDialog>
#include <QFontDialog>
#include <QHostAddress>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <QWidget>

#include "support/windows.h"

namespace keyvane::test {
namespace {

struct QtPlatformTest : ::testing::Test {
    QWidget owner;
    Platform p;
    QtPlatformTest() { InstallQtPlatform(p, &owner); }
};

TEST_F(QtPlatformTest, MessageBoxHasTheProgramsCaptionNoIconAndOneOkButton) {
    bool seen = false;
    OnNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen = true;
        EXPECT_EQ(box->windowTitle(), "Keyvane");
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box->text(), QString::fromUtf8("Caf\u00e9 \u20ac"));
        EXPECT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        box->button(QMessageBox::Ok)->click();
    });
    p.MsgBox("Caf\xE9 \x80");
    EXPECT_TRUE(seen);
}

TEST_F(QtPlatformTest, SendConfirmAnswersYesOrNo) {
    for (auto [button, expected] : {std::pair{QMessageBox::Yes, true}, {QMessageBox::No, false}}) {
        OnNextModal([button = button](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), "Send Confirm");
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            box->button(button)->click();
        });
        EXPECT_EQ(p.ConfirmBox("Are you sure you want to send the file x?"), expected);
    }
}

TEST_F(QtPlatformTest, ColourChooserHandsBackRedInTheLowestByte) {
    OnNextModal([](QWidget* modal) {
        auto* dlg = qobject_cast<QColorDialog*>(modal);
        ASSERT_NE(dlg, nullptr);
        dlg->setCurrentColor(QColor(255, 128, 1));
        dlg->accept();
    });
    EXPECT_EQ(p.ChooseColor(), std::optional<int32_t>(0x0180FF));

    OnNextModal([](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });
    EXPECT_EQ(p.ChooseColor(), std::nullopt);
}

TEST_F(QtPlatformTest, FontChooserHandsBackNameAndSize) {
    OnNextModal([](QWidget* modal) {
        auto* dlg = qobject_cast<QFontDialog*>(modal);
        ASSERT_NE(dlg, nullptr);
        QFont f("DejaVu Serif");
        f.setPointSizeF(12);
        dlg->setCurrentFont(f);
        dlg->accept();
    });
    const auto font = p.ChooseFont();
    ASSERT_TRUE(font.has_value());
    EXPECT_EQ(font->name, FromQ(QFontInfo(QFont("DejaVu Serif")).family()));
    EXPECT_DOUBLE_EQ(font->size, 12);

    OnNextModal([](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });
    EXPECT_EQ(p.ChooseFont(), std::nullopt);
}

TEST_F(QtPlatformTest, ClockRandomAndAddress) {
    const QString time = QString::fromStdString(p.TimeText());
    EXPECT_TRUE(
        QRegularExpression("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]$").match(time).hasMatch())
        << time.toStdString();
    for (uint32_t n : {1u, 9u, 10u}) {
        for (int i = 0; i < 200; ++i) EXPECT_LT(p.SystemRandom(n), n);
    }

    QHostAddress ip;
    ASSERT_TRUE(ip.setAddress(QString::fromStdString(p.LocalIP())));
    EXPECT_EQ(ip.protocol(), QAbstractSocket::IPv4Protocol);
}

TEST_F(QtPlatformTest, WaitingRunsWhatIsPending) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    p.WaitForEvents(60000);  // the pending timer ends the wait
    EXPECT_TRUE(ran);

    ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    p.DoEvents();
    EXPECT_TRUE(ran);

    p.WaitForEvents(1);  // nothing pending: comes back by itself
    p.Sleep(1);
}

}  // namespace
}  // namespace keyvane::test
