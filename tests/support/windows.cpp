#include "support/windows.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QTimer>

#include "platform/files.h"

namespace keyvane::test {

TestWindow::TestWindow() : TestWindow(Options{}) {}

TestWindow::TestWindow(Options options) {
    // Windows under test speak the plain protocol unless a test wants fast transfers.
    if (!options.fastTransfers) WriteTextLines(dir_.file("settings.dat"), {"FastTransfers=off"});
    if (options.beforeStart) options.beforeStart(dir_.path());
    window_ = std::make_unique<frmMain>(dir_.path(), [this, &options](Platform& p) {
        p.MsgBox = [this](const std::string& text) { messages.push_back(text); };
        p.ConfirmBox = [this](const std::string& text) {
            confirmations.push_back(text);
            if (confirmAnswers.empty()) return true;
            const bool yes = confirmAnswers.front();
            confirmAnswers.pop_front();
            return yes;
        };
        p.OpenFileName = [this]() -> std::string {
            if (openFileNames.empty()) return {};
            std::string f = openFileNames.front();
            openFileNames.pop_front();
            return f;
        };
        p.ChooseColor = [this]() -> std::optional<int32_t> {
            if (colorAnswers.empty()) return std::nullopt;
            auto c = colorAnswers.front();
            colorAnswers.pop_front();
            return c;
        };
        p.ChooseFont = [this]() -> std::optional<FontChoice> {
            if (fontAnswers.empty()) return std::nullopt;
            auto f = fontAnswers.front();
            fontAnswers.pop_front();
            return f;
        };
        p.PickProductPath = [this] { return productPath; };
        p.LocalIP = [ip = options.localIP] { return ip; };
        p.EndProgram = [this] { ++endProgramCalls; };
        if (options.adjust) options.adjust(p);
    });
    if (options.show) {
        window_->show();
        QCoreApplication::processEvents();
    }
}

TestWindow::~TestWindow() {
    window_.reset();
    QCoreApplication::processEvents();
}

void TestWindow::click(const char* name) {
    if (auto* b = window_->findChild<QAbstractButton*>(name)) {
        b->click();
    } else if (auto* a = window_->findChild<QAction*>(name)) {
        a->trigger();
    } else {
        ADD_FAILURE() << "nothing to click named " << name;
    }
}

void OnNextModal(std::function<void(QWidget* modal)> drive) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, drive] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        drive(modal);
    });
    poll->start();
}

int TopIndex(QListWidget* list) {
    const QModelIndex i = list->indexAt(QPoint(2, 2));
    return i.isValid() ? i.row() : -1;
}

}  // namespace keyvane::test
