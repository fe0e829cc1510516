#include "chat/frmFont.h"

#include "chat/SystemColors.h"
#include "platform/qt/QtPlatform.h"
#include "ui_frmFont.h"

namespace keyvane {

frmFont::frmFont(Platform& platform, std::string fontDatPath, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      ui_(std::make_unique<Ui::frmFont>()),
      fontDatPath_(std::move(fontDatPath)),
      logic_(platform, DefaultChatLook(WindowFont())) {
    setFont(WindowFont());
    ui_->setupUi(this);
    setFixedSize(size());
    setModal(true);
    ui_->Text1->setPlainText("This is\nhow we\nwant this\nto look.");
    ShowSample();

    connect(ui_->Command1, &QPushButton::clicked, this, [this] {
        logic_.PickBackground();
        ShowSample();
    });
    connect(ui_->Command2, &QPushButton::clicked, this, [this] {
        logic_.PickCharacter();
        ShowSample();
    });
    connect(ui_->Command3, &QPushButton::clicked, this, [this] {
        logic_.PickFont();
        ShowSample();
    });
    connect(ui_->Command4, &QPushButton::clicked, this, [this] {
        logic_.Set(fontDatPath_);
        accept();
    });
    connect(ui_->Command5, &QPushButton::clicked, this, &QDialog::reject);
}

frmFont::~frmFont() = default;

void frmFont::ShowSample() {
    ApplyChatLook(ui_->Text1, logic_.sample());
}

}  // namespace keyvane
