// The help viewer: shows the page at HelpPath. Modal, resizable, created anew at every
// opening so the page is loaded fresh each time.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

namespace Ui {
class frmBrowser;
}

namespace keyvane {

class frmBrowser : public QDialog {
    Q_OBJECT
  public:
    explicit frmBrowser(QWidget* parent = nullptr);
    ~frmBrowser() override;

    // Where the view was sent, and whether the page was there to show.
    const std::string& address() const { return address_; }
    bool pageFound() const { return found_; }

  protected:
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;

  private:
    void FitView();

    std::unique_ptr<Ui::frmBrowser> ui_;
    std::string address_;
    bool found_ = false;
};

}  // namespace keyvane
