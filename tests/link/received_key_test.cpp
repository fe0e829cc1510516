// What a peer may leave on this side's disk through "KY:": only keys, only a few at a
// time, and only for this user's eyes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "support/fakes.h"

namespace keyvane::test {
namespace {

namespace fs = std::filesystem;

int KeyFiles(const std::string& folder) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder))
        n += e.path().filename().string().rfind("Key", 0) == 0;
    return n;
}

TEST(ReceivedKey, OnlyDigitsUpToSixtyFourAreWrittenAndOnlyForTheOwner) {
    InFolder here;
    FakePeer host;
    host.BecomeConnectedHost();
    const std::string refused = "A received key was refused: a key is 1 to 64 digits.";
    for (const std::string& junk :
         {std::string(), std::string("12a4"), std::string("12 34"), std::string(65, '7'),
          std::string("\r\n"), RandomBytes(1 << 20, 3)}) {
        host.sock.Receive("KY:" + host.Encipher(junk));
        EXPECT_EQ(host.view.status.back(), refused) << junk.size();
    }
    EXPECT_EQ(KeyFiles(here.Path()), 0);
    EXPECT_EQ(KeyFiles(host.dir.path()), 0);
    EXPECT_TRUE(host.plat.boxes.empty());

    const std::string longest(64, '9');
    host.sock.Receive("KY:" + host.Encipher(longest));
    EXPECT_EQ(host.view.status.back(), "Key written to Key143005.txt");
    EXPECT_EQ(ReadWholeFile(here.File("Key143005.txt")), longest + "\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(here.File("Key143005.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ReceivedKey, AFloodIsCutToAFewPerSecond) {
    InFolder here;
    FakePeer host;
    host.BecomeConnectedHost();
    const std::string tooFast = "Keys are arriving too fast; further keys are not saved for now.";
    const std::string key = host.Encipher("31415");
    for (int i = 0; i < 1000; ++i) host.sock.Receive("KY:" + key);
    EXPECT_EQ(KeyFiles(here.Path()), Session::kKeyBurst);
    EXPECT_EQ(host.view.Count(tooFast), 1);  // said once, not a thousand times

    // A second on, one more; a person who sends now and then is never held up.
    host.plat.ms += Session::kKeyRefillMs;
    for (int i = 0; i < 3; ++i) host.sock.Receive("KY:" + key);
    EXPECT_EQ(KeyFiles(here.Path()), Session::kKeyBurst + 1);
    EXPECT_EQ(host.view.Count(tooFast), 2);
    host.plat.ms += 60 * Session::kKeyRefillMs;
    for (int i = 0; i < Session::kKeyBurst; ++i) {
        host.sock.Receive("KY:" + key);
        EXPECT_EQ(host.view.status.back().rfind("Key written to ", 0), 0u) << i;
    }
    EXPECT_TRUE(host.plat.boxes.empty());
}

}  // namespace
}  // namespace keyvane::test
