// Files this side sends are only read: one that went away is reported, never made anew.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/files.h"
#include "support/fakes.h"
#include "sysfiles/SystemFiles.h"
#include "transfer/FileTransfer.h"

namespace keyvane {
namespace {

TEST(SendSource, AFileGoneSinceItWasListedIsNotCreatedAndEndsTheSetCleanly) {
    test::FakePeer host({.transfer = true, .start = test::FakePeer::Start::Host});
    FileTransfer& transfer = *host.transfer;
    SystemFiles set(*host.session, transfer, host.view, host.plat.p);
    const std::string gone = host.dir.file("system/gone.dat");
    const std::string folder = host.dir.file("system/");
    ::mkdir(folder.c_str(), 0755);
    set.sys.SystemFileList[1] = gone;
    set.sys.SystemFileCount = 1;
    const size_t sent = host.sock.sent.size();

    set.Start();
    EXPECT_FALSE(FileExists(gone));
    EXPECT_EQ(host.sock.sent.size(), sent);  // not even its name
    EXPECT_EQ(host.view.status.back(), "The system files were not all sent.");
    EXPECT_TRUE(std::any_of(host.view.status.begin(), host.view.status.end(), [&](auto& l) {
        return l.rfind("Cannot send " + gone + ": ", 0) == 0;
    }));
    EXPECT_FALSE(set.SystemTransferInProgress());
    EXPECT_FALSE(transfer.Busy());

    // A file that can only be read is sent as it is.
    const std::string readOnly = folder + "ro.dat";
    WriteTextLines(readOnly, {"read me"});
    ::chmod(readOnly.c_str(), 0444);
    transfer.SendFile(readOnly, 0);
    host.plat.PassSeconds(2);
    ASSERT_GE(host.sock.sent.size(), sent + 2);
    EXPECT_EQ(host.sock.sent[sent], "FL:ro.dat");
    EXPECT_EQ(host.Decipher(host.sock.sent[sent + 1].substr(6, 9)), "read me\r\n");
}

}  // namespace
}  // namespace keyvane
