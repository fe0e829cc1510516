#include "support/events.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

namespace keyvane::test {

int FreePort() {
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0)) return 0;
    return s.serverPort();
}

void RunEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitUntil(const std::function<bool()>& done, int maxMs) {
    QDeadlineTimer limit(maxMs);
    while (!done()) {
        if (limit.hasExpired()) return false;
        RunEventsFor(2);
    }
    return true;
}

}  // namespace keyvane::test
