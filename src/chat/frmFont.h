// The chat appearance window: a sample text, the colour and font choosers, "Set" and
// "Cancel". Shown modally, created anew at every opening.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

#include "chat/ChatLook.h"

namespace Ui {
class frmFont;
}

namespace keyvane {

class frmFont : public QDialog {
    Q_OBJECT
  public:
    // `fontDatPath` is where "Set" stores the choice.
    frmFont(Platform& platform, std::string fontDatPath, QWidget* parent = nullptr);
    ~frmFont() override;

    // The sample's look: what "Set" stored and what goes to the chat list.
    const ChatLook& look() const { return logic_.sample(); }

  private:
    void ShowSample();

    std::unique_ptr<Ui::frmFont> ui_;
    std::string fontDatPath_;
    FontWindowLogic logic_;
};

}  // namespace keyvane
