#include "help/frmAbout.h"

#include "help/Help.h"
#include "platform/qt/QtPlatform.h"
#include "ui_frmAbout.h"

namespace keyvane {

frmAbout::frmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      ui_(std::make_unique<Ui::frmAbout>()) {
    setFont(WindowFont());
    ui_->setupUi(this);
    setFixedSize(size());
    setModal(true);

    QFont title;
    title.setFamilies({"Arial", "Liberation Sans", "Nimbus Sans", "Helvetica"});
    title.setPixelSize(29);  // 21.75 points at 96 dots per inch
    title.setBold(true);
    title.setItalic(true);
    ui_->Label1->setFont(title);

    ui_->Label2->setText(kAboutNotice);
    ui_->Label3->setText(kAboutCredit);
    ui_->Label4->setText(kAboutParagraph);
    FitLabels(this);
    connect(ui_->Command1, &QPushButton::clicked, this, &QDialog::accept);
}

frmAbout::~frmAbout() = default;

}  // namespace keyvane
