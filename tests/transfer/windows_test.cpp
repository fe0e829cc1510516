// File transfer and a system-file set between two main windows over 127.0.0.1, through
// the window's own commands.
#include "support/windows.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QRadioButton>
#include <QTcpServer>
#include <cstdlib>
#include <filesystem>

#include "platform/files.h"
#include "support/tempdir.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

bool Listed(TestWindow& w, const std::string& line) {
    auto* l = w.find<QListWidget>("List1");
    return l && !l->findItems(QString::fromStdString(line), Qt::MatchExactly).isEmpty();
}

// Two windows on a free port of 127.0.0.1; pauses end at once.
TestWindow::Options PairOptions(bool fastTransfers) {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    TestWindow::Options o;
    o.fastTransfers = fastTransfers;
    o.beforeStart = [port](const std::string& folder) {
        WriteTextLines(folder + "port.dat", {std::to_string(port)});
    };
    o.adjust = [](Platform& p) {
        // Every reading of the clock is a new second.
        p.TimeText = [n = 0]() mutable { return std::to_string(++n); };
    };
    return o;
}

void ConnectPair(TestWindow& host, TestWindow& client) {
    host->sock().ListenAddress = client->sock().ListenAddress = "127.0.0.1";
    host.click("Command1");
    client.find<QLineEdit>("txtConnect")->setText("127.0.0.1");
    client.click("Command2");
}

TEST(TransferWindows, SendFileAndASystemSetBetweenTwoWindows) {
    const TestWindow::Options o = PairOptions(false);
    TestWindow host(o), client(o);
    ConnectPair(host, client);
    ASSERT_TRUE(WaitUntil([&] { return Listed(host, "Connected."); }));

    TempDir files;
    const std::string bytes(123456, '\xA7');
    WriteTextLines(files.file("big.bin"), {bytes});
    client.openFileNames.push_back(files.file("big.bin"));
    client.click("flesend");
    ASSERT_TRUE(WaitUntil([&] { return Listed(client, "File Transferred."); }));
    ASSERT_TRUE(WaitUntil([&] { return Listed(host, "File received."); }));
    EXPECT_EQ(ReadWholeFile(host.file("Recv/big.bin")), bytes + "\r\n");
    EXPECT_FALSE(client.find<QProgressBar>("ProgressBar1")->isVisible());
    EXPECT_EQ(client.find<QProgressBar>("ProgressBar1")->value(), 100);
    EXPECT_EQ(client->cursor().shape(), Qt::ArrowCursor);

    TempDir wine;
    const char* old = std::getenv("WINEPREFIX");
    const std::string oldPrefix = old ? old : "";
    setenv("WINEPREFIX", wine.path().c_str(), 1);
    fs::create_directories(wine.file("drive_c/veltra/system"));
    WriteTextLines(wine.file("drive_c/veltra/system/a.dat"), {"a"});
    WriteTextLines(wine.file("drive_c/veltra/system/LOG.DAT"), {"log"});
    host.find<QRadioButton>("optVeltra55")->setChecked(true);
    host.click("Command4");
    if (old)
        setenv("WINEPREFIX", oldPrefix.c_str(), 1);
    else
        unsetenv("WINEPREFIX");
    EXPECT_TRUE(Listed(host, "Sending System Files (1 to do)"));
    ASSERT_TRUE(WaitUntil([&] { return Listed(client, "File received."); }));
    EXPECT_EQ(ReadWholeFile(client.file("Recv/a.dat")), "a\r\n");
    EXPECT_FALSE(fs::exists(client.file("Recv/LOG.DAT")));
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(client.messages.empty());
}

// Two windows as installed, with nothing switched off: they agree on the fast link, and a
// file and a chat line sent while it goes arrive whole.
TEST(TransferWindows, TwoWindowsAgreeOnTheFastLink) {
    const TestWindow::Options o = PairOptions(true);
    TestWindow host(o), client(o);
    ConnectPair(host, client);
    ASSERT_TRUE(WaitUntil([&] { return Listed(host, "Fast transfers on with this peer."); }));
    ASSERT_TRUE(WaitUntil([&] { return Listed(client, "Fast transfers on with this peer."); }));

    TempDir files;
    std::string bytes(250000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 % 251);
    RecordFile f(files.file("fast.bin"), 1);
    f.WriteRaw(1, bytes);
    f.Close();
    client.openFileNames.push_back(files.file("fast.bin"));
    client.click("flesend");
    client.find<QLineEdit>("txtChat")->setText("while it goes");
    client.click("Command5");
    ASSERT_TRUE(WaitUntil([&] { return Listed(host, "File received (verified)."); }));
    ASSERT_TRUE(WaitUntil([&] { return Listed(client, "File Transferred."); }));
    EXPECT_EQ(ReadWholeFile(host.file("Recv/fast.bin")), bytes);
    auto* chat = host.find<QListWidget>("List2");
    ASSERT_TRUE(WaitUntil([&] { return chat->count() > 0; }));
    EXPECT_TRUE(chat->item(chat->count() - 1)->text().endsWith("while it goes"));
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(client.messages.empty());
}

}  // namespace
}  // namespace keyvane::test
