// The fast link through a router that queues only so much: the rest waits in the
// sender's socket, whose back-pressure the sender must follow without losing a byte or
// holding more than its bound. bench/proxy_bench measures the speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "link/FastLink.h"
#include "support/delay_proxy.h"
#include "support/loop_peer.h"

namespace keyvane::test {
namespace {

TEST(DeepQueue, AFileThroughABoundedQueueArrivesWholeAndTheSenderHoldsLittle) {
    constexpr int64_t kQueue = 64 * 1024;
    ProxiedPair<DelayProxy> l(5, 8e6, kQueue);
    LoopPeer &host = l.host, &client = l.client;
    DelayProxy& proxy = *l.proxy;
    l.Connect();
    ASSERT_TRUE(RunUntil([&] { return host.session->Fast() && client.session->Fast(); }));

    const std::string bytes = RandomBytes(2000500, 11), path = client.dir.file("q.bin");
    WriteFile(path, bytes);
    client.transfer->SendFile(path, 0);
    size_t held = 0;
    ASSERT_TRUE(RunUntil([&] {
        held = std::max(held, client.net.Queued());
        return client.view.HasStatus("File Transferred.") && host.Idle();
    }));
    EXPECT_TRUE(host.view.HasStatus("File received (verified)."));
    EXPECT_TRUE(SameBytes(ReadWholeFile(host.Recv("q.bin")), bytes));
    EXPECT_LE(proxy.PeakQueued(DelayProxy::kToTarget), kQueue);
    EXPECT_GT(proxy.PeakQueued(DelayProxy::kToTarget), 0);
    EXPECT_LE(held, fast::SendWindow::kMaxQueuedBytes + 1004);
}

}  // namespace
}  // namespace keyvane::test
