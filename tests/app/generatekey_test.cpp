// "Generate Key" and the building of a connection's key files.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <array>
#include <cctype>
#include <deque>
#include <set>

#include "platform/files.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

TEST(GenerateKey, DrawsFromTheSystemSourceNotTheClockAndOnlyFillsTheKeyBox) {
    std::deque<uint32_t> draws{8, 0, 9};
    TestWindow::Options o;
    o.adjust = [&](Platform& p) {
        p.SystemRandom = [&](uint32_t) {
            const uint32_t d = draws.empty() ? 4 : draws.front();
            if (!draws.empty()) draws.pop_front();
            return d;
        };
    };
    TestWindow w(o);
    w.find<QLineEdit>("txtKey")->setText("1234");
    w.click("Command6");
    EXPECT_EQ(w->KeyText(), "909" + std::string(15, '4'));
    EXPECT_EQ(w.find<QListWidget>("List1")->count(), 0);
    EXPECT_TRUE(w.messages.empty());
}

TEST(GenerateKey, KeysNeverRepeatAndSpreadTheirDigitsEvenly) {
    // The real source: 5,000 clicks, 85,000 digits after the first. The bounds are so
    // loose that only a broken source misses them.
    TestWindow w;
    std::set<std::string> keys;
    std::array<int, 10> later{}, first{};
    const int clicks = 5000;
    for (int i = 0; i < clicks; ++i) {
        w.click("Command6");
        const std::string key = w->KeyText();
        ASSERT_EQ(key.size(), 18u);
        for (char c : key) ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << key;
        ASSERT_NE(key[0], '0') << key;
        keys.insert(key);
        ++first[key[0] - '0'];
        for (size_t k = 1; k < key.size(); ++k) ++later[key[k] - '0'];
    }
    EXPECT_EQ(keys.size(), static_cast<size_t>(clicks));
    for (int d = 0; d <= 9; ++d) EXPECT_NEAR(later[d], 8500, 850) << d;  // 9 sigma
    for (int d = 1; d <= 9; ++d) EXPECT_NEAR(first[d], 556, 170) << d;   // 7 sigma
}

// Both sides of a connection, each in its own folder, with their address boxes as a
// connection leaves them.
struct Pair {
    TestWindow host;
    TestWindow client;
    Pair(const std::string& hostIP, const std::string& clientIP) {
        host.find<QLineEdit>("txtIP")->setText(QString::fromStdString(hostIP));
        host.find<QLineEdit>("txtConnect")->setText(QString::fromStdString(clientIP));
        host->state().role = Role::Host;
        client.find<QLineEdit>("txtIP")->setText(QString::fromStdString(clientIP));
        client.find<QLineEdit>("txtConnect")->setText(QString::fromStdString(hostIP));
        client->state().role = Role::Client;
    }
};

const char* const kKeyFiles[] = {"k1.bin", "k1.brs", "k1.bcr", "k2.bin",
                                 "k3.bin", "k4.bin", "k5.bin", "k6.dat"};

TEST(GenerateKeys, BothSidesBuildTheSameKeyFilesAndEnableSending) {
    Pair p("192.0.2.10", "192.0.2.20");
    p.host->session().GenerateKeys();
    p.client->session().GenerateKeys();
    for (const char* f : kKeyFiles) {
        const std::string a = ReadWholeFile(p.host.file(f));
        EXPECT_FALSE(a.empty()) << f;
        EXPECT_EQ(a, ReadWholeFile(p.client.file(f))) << f;
    }
    EXPECT_EQ(p.host->sdk().ReorderTable, p.client->sdk().ReorderTable);
    for (TestWindow* w : {&p.host, &p.client})
        for (const char* send : {"Command3", "Command4", "Command5"})
            EXPECT_TRUE(w->find<QPushButton>(send)->isEnabled()) << send;
}

TEST(GenerateKeys, SwappedRolesGiveOtherKeyFiles) {
    Pair p("192.0.2.10", "192.0.2.20");
    Pair swapped("192.0.2.20", "192.0.2.10");
    p.host->session().GenerateKeys();
    swapped.host->session().GenerateKeys();
    EXPECT_NE(ReadWholeFile(p.host.file("k1.bin")), ReadWholeFile(swapped.host.file("k1.bin")));
}

TEST(GenerateKeys, AHostNameInsteadOfAnAddressDoesNotStopTheProgram) {
    Pair p("192.0.2.10", "peer.example.org");
    EXPECT_NO_THROW(p.host->session().GenerateKeys());
    EXPECT_NO_THROW(p.client->session().GenerateKeys());
    EXPECT_EQ(ReadWholeFile(p.host.file("k1.bin")), ReadWholeFile(p.client.file("k1.bin")));
    EXPECT_TRUE(p.host.find<QPushButton>("Command5")->isEnabled());

    Pair dots("1.2.3.4.5.6.7.8.9", "10.0.0.1");
    EXPECT_NO_THROW(dots.host->session().GenerateKeys());
    EXPECT_NO_THROW(dots.client->session().GenerateKeys());
}

}  // namespace
}  // namespace keyvane::test
