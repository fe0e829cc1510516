// Two main windows in one process, each with its own program folder and cipher, talking
// over 127.0.0.1 as two installations would.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QTcpServer>
#include <algorithm>
#include <filesystem>
#include <map>

#include "platform/files.h"
#include "support/tempdir.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

TestWindow::Options OnPort(int port) {
    TestWindow::Options o;
    o.beforeStart = [port](const std::string& folder) {
        WriteTextLines(folder + "port.dat", {std::to_string(port)});
    };
    return o;
}

std::vector<std::string> Lines(TestWindow& w, const char* list) {
    std::vector<std::string> out;
    auto* l = w.find<QListWidget>(list);
    for (int i = 0; l && i < l->count(); ++i) out.push_back(l->item(i)->text().toStdString());
    return out;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The cipher's key files of a program folder, by name.
std::map<std::string, std::string> KeyFiles(const TestWindow& w) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(w.folder())) {
        std::string name = e.path().filename().string();
        if (e.is_regular_file() && name[0] == 'k') files[name] = ReadWholeFile(e.path().string());
    }
    return files;
}

void Type(TestWindow& w, const char* field, const std::string& text) {
    w.find<QLineEdit>(field)->setText(QString::fromStdString(text));
}

void PressEnter(QLineEdit* field) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    QCoreApplication::sendEvent(field, &press);
}

class TwoWindows : public ::testing::Test {
  protected:
    void SetUp() override {
        int port = FreePort();
        ASSERT_NE(port, 0);
        host = std::make_unique<TestWindow>(OnPort(port));
        client = std::make_unique<TestWindow>(OnPort(port));
        // Tests listen on the loopback address only.
        host->win().sock().ListenAddress = "127.0.0.1";
        client->win().sock().ListenAddress = "127.0.0.1";
    }

    void Connect() {
        host->click("Command1");
        ASSERT_TRUE(host->messages.empty());
        Type(*client, "txtConnect", "127.0.0.1");
        client->click("Command2");
        ASSERT_TRUE(client->messages.empty()) << client->messages[0];
        ASSERT_TRUE(WaitUntil([&] { return Has(Lines(*host, "List1"), "Connected."); }));
    }

    std::unique_ptr<TestWindow> host, client;
};

TEST_F(TwoWindows, HandshakeGivesBothSidesTheSameKeyFiles) {
    Connect();
    EXPECT_EQ(Lines(*host, "List1"),
              (std::vector<std::string>{"Waiting for Connection", "Connected."}));
    EXPECT_EQ(Lines(*client, "List1"), (std::vector<std::string>{"Connecting...", "Connected"}));
    EXPECT_EQ(host->find<QLineEdit>("txtConnect")->text(), "127.0.0.1");
    EXPECT_TRUE(host->win().state().IsHost() && host->win().state().IsConnected &&
                !host->win().state().IsClient());
    EXPECT_TRUE(client->win().state().IsClient() && client->win().state().IsConnected &&
                !client->win().state().IsHost());
    auto files = KeyFiles(*host);
    EXPECT_GE(files.size(), 8u);
    EXPECT_EQ(files, KeyFiles(*client));
    for (auto* w : {host.get(), client.get()})
        for (const char* b : {"Command3", "Command4", "Command5"})
            EXPECT_TRUE(w->find<QWidget>(b)->isEnabled()) << b;
}

TEST_F(TwoWindows, KeyTypedOnOneSideIsFiledOnTheOther) {
    TempDir cwd;
    fs::path old = fs::current_path();
    fs::current_path(cwd.path());
    Connect();
    Type(*client, "txtKey", "001234567890123456");
    client->click("Command3");
    EXPECT_TRUE(Has(Lines(*client, "List1"), "Sending Key..."));
    ASSERT_TRUE(WaitUntil([&] { return Has(Lines(*host, "List1"), "Key=001234567890123456"); }));
    std::string written = Lines(*host, "List1").back();
    ASSERT_EQ(written.rfind("Key written to ", 0), 0u) << written;
    EXPECT_EQ(ReadWholeFile(cwd.file(written.substr(15))), "001234567890123456\r\n");
    fs::current_path(old);
}

TEST_F(TwoWindows, ChatBothWays) {
    Connect();
    Type(*client, "txtChat", "hello");
    PressEnter(client->find<QLineEdit>("txtChat"));
    EXPECT_EQ(client->find<QLineEdit>("txtChat")->text(), "");
    ASSERT_TRUE(WaitUntil([&] { return !Lines(*host, "List2").empty(); }));
    Type(*host, "txtChat", "hi <you>");
    host->click("Command5");
    ASSERT_TRUE(WaitUntil([&] { return Lines(*client, "List2").size() == 2; }));
    EXPECT_EQ(Lines(*host, "List2"), (std::vector<std::string>{"hello", "<hi <you>>"}));
    EXPECT_EQ(Lines(*client, "List2"), (std::vector<std::string>{"<hello>", "hi <you>"}));
}

TEST_F(TwoWindows, HostHangsUpTheClientWipesAndEnds) {
    Connect();
    host->click("fleext");
    EXPECT_EQ(host->endProgramCalls, 1);
    EXPECT_TRUE(KeyFiles(*host).empty());
    ASSERT_TRUE(WaitUntil([&] { return client->endProgramCalls == 1; }));
    EXPECT_EQ(client->messages,
              std::vector<std::string>{"Your connection was terminated manually by the person.  "
                                       "The program will now terminate."});
    EXPECT_TRUE(KeyFiles(*client).empty());
}

TEST_F(TwoWindows, ClientClosesItsWindowTheHostGoesOn) {
    Connect();
    client->win().close();
    EXPECT_TRUE(KeyFiles(*client).empty());
    ASSERT_TRUE(WaitUntil([&] { return !host->messages.empty(); }));
    EXPECT_EQ(host->messages,
              std::vector<std::string>{"Your connection was terminated manually by the person.  "});
    EXPECT_EQ(host->endProgramCalls, 0);
    EXPECT_FALSE(host->win().state().IsConnected);
    EXPECT_FALSE(KeyFiles(*host).empty());
}

TEST_F(TwoWindows, ConnectWithoutAnAddressOrToNobody) {
    client->click("Command2");
    EXPECT_EQ(client->messages, std::vector<std::string>{"Missing IP Address."});
    EXPECT_TRUE(Lines(*client, "List1").empty());

    Type(*client, "txtConnect", "127.0.0.1");  // nobody waits on the port
    client->click("Command2");
    ASSERT_TRUE(WaitUntil([&] { return client->messages.size() == 2; }));
    EXPECT_EQ(client->messages.back(),
              "Unable to Connect.  Check your IP address and/or port and try again.");
    EXPECT_EQ(Lines(*client, "List1"), std::vector<std::string>{"Connecting..."});
}

TEST_F(TwoWindows, PeerThatDropsWithoutHangingUpIsNoticed) {
    Connect();
    client->win().sock().Close();  // the client's program died; no "XX:"
    ASSERT_TRUE(WaitUntil([&] { return Has(Lines(*host, "List1"), "Connection lost."); }));
    EXPECT_FALSE(host->win().state().IsConnected);
    Type(*host, "txtChat", "still there?");
    host->click("Command5");
    EXPECT_EQ(host->messages, std::vector<std::string>{"You are not connected."});
    EXPECT_EQ(host->find<QLineEdit>("txtChat")->text(), "still there?");
}

}  // namespace
}  // namespace keyvane::test
