#include "help/frmBrowser.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>
#include <algorithm>

#include "help/Help.h"
#include "platform/qt/QtPlatform.h"
#include "ui_frmBrowser.h"

namespace keyvane {

namespace {
constexpr int kTwipsPerPixel = 15;
}

frmBrowser::frmBrowser(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      ui_(std::make_unique<Ui::frmBrowser>()) {
    setFont(WindowFont());
    ui_->setupUi(this);
    setModal(true);
    setSizeGripEnabled(true);
    // The page is read at length: a larger text than the window's captions.
    QFont text = font();
    text.setPixelSize(13);
    ui_->WebBrowser1->setFont(text);

    address_ = HelpUrl(HelpPath);
    const QString path = QFile::decodeName(HelpPath.c_str());
    const QFileInfo page(path);
    found_ = page.isFile() && page.isReadable();
    if (found_) {
        ui_->WebBrowser1->setSource(QUrl::fromLocalFile(page.absoluteFilePath()));
        found_ = !ui_->WebBrowser1->document()->isEmpty();
    }
    if (!found_) {
        ui_->WebBrowser1->setHtml(
            "<h2>Page not found</h2><p>The help page could not be opened:</p><p><tt>" +
            QString::fromStdString(address_).toHtmlEscaped() +
            "</tt></p><p>It belongs beside the program, or in <tt>share/keyvane/</tt> of an "
            "installed Keyvane, as <tt>overview.htm</tt>.</p>");
    }
}

frmBrowser::~frmBrowser() = default;

void frmBrowser::FitView() {
    const QSize outer = frameGeometry().size();
    const TwipSize view =
        BrowserViewSize({outer.width() * kTwipsPerPixel, outer.height() * kTwipsPerPixel});
    // Where the window frame is thicker than the rule expects, the view still ends at
    // the window's edge, so its scroll bars stay reachable.
    ui_->WebBrowser1->resize(std::min(view.width / kTwipsPerPixel, width()),
                             std::min(view.height / kTwipsPerPixel, height()));
}

void frmBrowser::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    FitView();
}

void frmBrowser::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    FitView();
}

}  // namespace keyvane
