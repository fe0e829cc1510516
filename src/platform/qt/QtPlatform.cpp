#include "platform/qt/QtPlatform.h"

#include <QApplication>
#include <QColorDialog>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFontDialog>
#include <QFontInfo>
#include <QHostAddress>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QPointer>
#include <QRandomGenerator>
#include <QScreen>
#include <QThread>
#include <QTime>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <bit>
#include <memory>
#include <random>

#include "platform/cp1252.h"

namespace keyvane {

QString ToQ(const std::string& bytes) {
    return QString::fromStdString(Cp1252ToUtf8(bytes));
}

std::string FromQ(const QString& text) {
    return Utf8ToCp1252(text.toStdString());
}

QFont WindowFont() {
    QFont f;
    // Condensed first: at 11 pixels its lines are 13 pixels high, so the status list
    // shows its 12 lines and the chat list its 7.
    f.setFamilies({"DejaVu Sans Condensed", "Liberation Sans", "Arial", "Nimbus Sans", "Helvetica",
                   "DejaVu Sans"});
    f.setPixelSize(11);
    return f;
}

void CenterOnScreen(QWidget* window) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect avail = screen->availableGeometry();
    // The frame is not known before the window is shown; centre the client area then.
    const QRect frame = window->frameGeometry();
    window->move(avail.center() - QPoint(frame.width() / 2, frame.height() / 2) +
                 (window->pos() - frame.topLeft()));
}

void FitLabels(QWidget* root) {
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (label->wordWrap() || label->text().isEmpty()) continue;
        const QFontMetrics fm(label->font());
        int excess = 0;
        for (const QString& line : label->text().split('\n'))
            excess = std::max(excess, fm.boundingRect(line).width() - label->width());
        if (excess <= 0) continue;
        QRect r = label->geometry();
        if (label->alignment() & Qt::AlignHCenter)
            r.adjust(-(excess + 1) / 2, 0, (excess + 1) / 2, 0);
        else
            r.setWidth(r.width() + excess);
        label->setGeometry(r);
    }
}

namespace {

// A reseedable generator: Randomize takes any double, Rnd draws from [0, 1).
struct Random {
    std::mt19937_64 gen{std::random_device{}()};
    void Seed(double s) { gen.seed(std::bit_cast<uint64_t>(s)); }
    double Draw() { return static_cast<double>(gen() >> 11) * 0x1.0p-53; }
};

std::string FirstIPv4() {
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
        const auto flags = nic.flags();
        if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack)) continue;
        for (const QNetworkAddressEntry& e : nic.addressEntries()) {
            const QHostAddress a = e.ip();
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
                return a.toString().toStdString();
        }
    }
    return "127.0.0.1";
}

}  // namespace

void InstallQtPlatform(Platform& p, QWidget* window) {
    QPointer<QWidget> owner(window);

    p.MsgBox = [owner](const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, "Keyvane", ToQ(text), QMessageBox::Ok, owner);
        box.exec();
    };
    p.ConfirmBox = [owner](const std::string& text) {
        QMessageBox box(QMessageBox::NoIcon, "Send Confirm", ToQ(text),
                        QMessageBox::Yes | QMessageBox::No, owner);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes;
    };
    p.OpenFileName = [owner]() -> std::string {
        const QString path = QFileDialog::getOpenFileName(owner, "Open");
        return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
    };
    p.ChooseColor = [owner]() -> std::optional<int32_t> {
        const QColor c = QColorDialog::getColor(Qt::white, owner, "Color");
        if (!c.isValid()) return std::nullopt;
        return Rgb(c.red(), c.green(), c.blue());
    };
    p.ChooseFont = [owner]() -> std::optional<FontChoice> {
        bool ok = false;
        const QFont initial = owner ? owner->font() : QApplication::font();
        const QFont f = QFontDialog::getFont(&ok, initial, owner, "Font");
        if (!ok) return std::nullopt;
        const QFontInfo info(f);
        const double size = f.pointSizeF() > 0 ? f.pointSizeF() : info.pointSizeF();
        return FontChoice{FromQ(f.family()), size};
    };
    p.PickProductPath = [] { return std::string(); };

    p.TimeText = [] { return QTime::currentTime().toString("HH:mm:ss").toStdString(); };
    p.SecondsSinceMidnight = [] { return QTime::currentTime().msecsSinceStartOfDay() / 1000.0; };
    auto random = std::make_shared<Random>();
    p.Randomize = [random](double seed) { random->Seed(seed); };
    p.Rnd = [random] { return random->Draw(); };
    p.SystemRandom = [](uint32_t n) { return QRandomGenerator::system()->bounded(n); };
    p.LocalIP = [] { return FirstIPv4(); };

    p.DoEvents = [] { QCoreApplication::processEvents(); };
    p.WaitForEvents = [](int ms) {
        // The timer bounds the wait: something arrives within `ms` at the latest.
        QTimer bound;
        bound.setSingleShot(true);
        bound.start(ms < 0 ? 0 : ms);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    p.Sleep = [](int ms) { QThread::msleep(ms < 0 ? 0 : ms); };
    p.EndProgram = [] {
        QApplication::closeAllWindows();
        // exit() leaves every running event loop, modal ones included.
        QCoreApplication::exit(0);
    };
}

}  // namespace keyvane
