// "Generate Key" and the building of a connection's key files.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <array>
#include <cctype>
#include <deque>
#include <random>

#include "platform/files.h"
#include "support/windows.h"

namespace keyvane::test {
namespace {

TEST(GenerateKey, ReseedsFromTheTimerAtEveryClickAndOnlyFillsTheKeyBox) {
    std::vector<double> seeds;
    double clock = 3600.25;
    TestWindow::Options o;
    o.adjust = [&](Platform& p) {
        p.SecondsSinceMidnight = [&] { return clock++; };
        p.Randomize = [&](double s) { seeds.push_back(s); };
        p.Rnd = [] { return 0.5; };
    };
    TestWindow w(o);
    w.click("Command6");
    w.click("Command6");
    EXPECT_EQ(seeds, (std::vector<double>{3600.25, 3601.25}));
    EXPECT_EQ(w.find<QListWidget>("List1")->count(), 0);
    EXPECT_TRUE(w.messages.empty());
    EXPECT_EQ(w->KeyText(), "444444444444444444");  // 0.5 x 9 = 4.5 rounds to the even 4
}

TEST(GenerateKey, FirstDigitIsDrawnAgainWhileItIsZero) {
    std::deque<double> draws{0.0, 0.05, 0.99};
    TestWindow::Options o;
    o.adjust = [&](Platform& p) {
        p.Randomize = [](double) {};
        p.Rnd = [&] {
            if (draws.empty()) return 0.0;
            const double r = draws.front();
            draws.pop_front();
            return r;
        };
    };
    TestWindow w(o);
    w.find<QLineEdit>("txtKey")->setText("1234");
    w.click("Command6");
    EXPECT_EQ(w->KeyText(), "9" + std::string(17, '0'));
}

TEST(GenerateKey, ZeroAndNineComeHalfAsOftenAsTheOtherDigits) {
    std::mt19937 gen(20240607);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    TestWindow::Options o;
    o.adjust = [&](Platform& p) {
        p.Randomize = [](double) {};
        p.Rnd = [&] { return uniform(gen); };
    };
    TestWindow w(o);
    std::array<int, 10> later{};  // positions 2 to 18
    std::array<int, 10> first{};
    const int clicks = 3000;
    for (int i = 0; i < clicks; ++i) {
        w.click("Command6");
        const std::string key = w->KeyText();
        ASSERT_EQ(key.size(), 18u);
        for (char c : key) ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << key;
        ASSERT_NE(key[0], '0') << key;
        ++first[key[0] - '0'];
        for (size_t k = 1; k < key.size(); ++k) ++later[key[k] - '0'];
    }
    double others = 0;
    for (int d = 1; d <= 8; ++d) others += later[d];
    others /= 8;
    EXPECT_NEAR(later[0] / others, 0.5, 0.1);
    EXPECT_NEAR(later[9] / others, 0.5, 0.1);
    for (int d = 1; d <= 8; ++d) EXPECT_NEAR(later[d] / others, 1.0, 0.1) << d;
    // First digit: 1 to 8 at 2/17 each, 9 at 1/17.
    EXPECT_NEAR(first[9] / (clicks / 17.0), 1.0, 0.3);
}

// Both sides of a connection, each in its own folder, with their address boxes as a
// connection leaves them.
struct Pair {
    TestWindow host;
    TestWindow client;
    Pair(const std::string& hostIP, const std::string& clientIP) {
        host.find<QLineEdit>("txtIP")->setText(QString::fromStdString(hostIP));
        host.find<QLineEdit>("txtConnect")->setText(QString::fromStdString(clientIP));
        host->IsHost = true;
        client.find<QLineEdit>("txtIP")->setText(QString::fromStdString(clientIP));
        client.find<QLineEdit>("txtConnect")->setText(QString::fromStdString(hostIP));
        client->IsClient = true;
    }
};

const char* const kKeyFiles[] = {"k1.bin", "k1.brs", "k1.bcr", "k2.bin",
                                 "k3.bin", "k4.bin", "k5.bin", "k6.dat"};

TEST(GenerateKeys, BothSidesBuildTheSameKeyFilesAndEnableSending) {
    Pair p("192.0.2.10", "192.0.2.20");
    p.host->GenerateKeys();
    p.client->GenerateKeys();
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
    p.host->GenerateKeys();
    swapped.host->GenerateKeys();
    EXPECT_NE(ReadWholeFile(p.host.file("k1.bin")), ReadWholeFile(swapped.host.file("k1.bin")));
}

TEST(GenerateKeys, AHostNameInsteadOfAnAddressDoesNotStopTheProgram) {
    Pair p("192.0.2.10", "peer.example.org");
    EXPECT_NO_THROW(p.host->GenerateKeys());
    EXPECT_NO_THROW(p.client->GenerateKeys());
    EXPECT_EQ(ReadWholeFile(p.host.file("k1.bin")), ReadWholeFile(p.client.file("k1.bin")));
    EXPECT_TRUE(p.host.find<QPushButton>("Command5")->isEnabled());

    Pair dots("1.2.3.4.5.6.7.8.9", "10.0.0.1");
    EXPECT_NO_THROW(dots.host->GenerateKeys());
    EXPECT_NO_THROW(dots.client->GenerateKeys());
}

}  // namespace
}  // namespace keyvane::test
