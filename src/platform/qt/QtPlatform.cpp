#include "platform/qt/QtPlatform.h"

#include <QApplication>
#include <QColorDialog>
#include <QFile>
#include <QFileDialog>
#include <QFontDialog>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "platform/cp1252.h"
#include "platform/qt/CorePlatform.h"

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

bool RiskBox(QWidget* owner, const std::string& text) {
    QMessageBox box(QMessageBox::Warning, "Keyvane", ToQ(text), QMessageBox::Yes | QMessageBox::No,
                    owner);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void InstallQtPlatform(Platform& p, QWidget* window) {
    InstallQtCorePlatform(p);
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

    p.EndProgram = [end = p.EndProgram] {
        QApplication::closeAllWindows();
        end();
    };
}

}  // namespace keyvane
