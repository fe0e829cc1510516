// A failure inside a socket event's handler stays there: it is said in the status list
// and the link goes on, instead of ending the program without the wipe.
#include <gtest/gtest.h>

#include <stdexcept>

#include "support/fakes.h"

namespace keyvane::test {
namespace {

TEST(SocketEvents, AFailureInAHandlerIsReportedAndTheLinkGoesOn) {
    FakePeer host;
    host.BecomeConnectedHost();
    host.files.fl = [](const std::string&) { throw std::runtime_error("disk on fir\xc3\xa9"); };
    host.files.lost = [] { throw 42; };
    EXPECT_NO_THROW(host.sock.Receive("FL:a.bin"));
    EXPECT_EQ(host.view.status.back(), "An unexpected error was caught: disk on fir\xe9");
    host.sock.Receive("CT:" + host.Encipher("still here"));
    EXPECT_EQ(host.view.chat.back(), "still here");
    EXPECT_NO_THROW(host.sock.Disconnected());
    EXPECT_EQ(host.view.status.back(), "An unexpected error was caught: unknown error");
    EXPECT_FALSE(host.st.IsConnected);
    EXPECT_EQ(host.plat.ends, 0);
}

}  // namespace
}  // namespace keyvane::test
