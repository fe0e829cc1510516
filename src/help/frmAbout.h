// The About window: the product name, a notice line, a credit line and a notice
// paragraph, and "Done". Modal, created anew at every opening.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class frmAbout;
}

namespace keyvane {

class frmAbout : public QDialog {
    Q_OBJECT
  public:
    explicit frmAbout(QWidget* parent = nullptr);
    ~frmAbout() override;

  private:
    std::unique_ptr<Ui::frmAbout> ui_;
};

}  // namespace keyvane
