// Moves between a transfer's phases that no single message makes plain.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "link/fakes.h"
#include "platform/files.h"
#include "transfer/FileTransfer.h"

namespace keyvane {
namespace {

struct Side : test::FakePeer {
    Side() {
        transfer.SetReceiveFolder(dir.file("Recv/"));
        std::filesystem::create_directories(transfer.State().Recv);
        BecomeConnectedHost();
    }
    FileTransfer transfer{*session, view, plat.p, sdk};
};

TEST(TransferStates, AFileThatShrinksWhileSentSaysWhyItStopped) {
    Side a;
    const std::string path = a.dir.file("shrinks.bin");
    WriteTextLines(path, {std::string(2500, 's')});
    a.transfer.SendFile(path, 0);
    a.plat.PassSeconds(2);
    ASSERT_EQ(a.transfer.State().sendPhase, SendPhase::Sending);
    std::filesystem::resize_file(path, 500);
    a.sock.Receive("OK:");  // the second block was read before; the end finds it short
    a.sock.Receive("OK:");
    EXPECT_EQ(a.transfer.State().sendPhase, SendPhase::Idle);
    EXPECT_EQ(a.view.status.back(),
              "Cannot send " + path + ": the file became shorter while it was being sent");
    EXPECT_NE(a.sock.sent.back().substr(0, 6), "FB:RM:");
}

}  // namespace
}  // namespace keyvane
