// The folder picker for version 5.5.2.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <string>

class QWidget;
class QTreeWidgetItem;
class QComboBox;
class QTreeWidget;
class QPushButton;

namespace Ui {
class frmPathSelect;
}

namespace keyvane {

// Drive1 lists the drives (mount roots); Dir1 shows the open folder with its parents
// and its sub-folders, and a double click opens a folder. The window starts at the
// current working folder every time it is created.
class frmPathSelect : public QDialog {
    Q_OBJECT
  public:
    explicit frmPathSelect(QWidget* parent = nullptr);
    ~frmPathSelect() override;

    // Native path with a trailing separator, or "" after Cancel.
    std::string ProductPath() const { return productPath_; }
    // Dir1's open folder.
    QString CurrentFolder() const { return current_; }
    // Opens a folder in Dir1, as a double click on it does.
    void OpenFolder(const QString& path);

    QComboBox* Drive1() const;
    QTreeWidget* Dir1() const;
    QPushButton* Command1() const;  // "Set"
    QPushButton* Command2() const;  // "Cancel"

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void FillDrives();
    void FillFolders();
    void Set();
    void Cancel();
    static std::string WithSeparator(const QString& folder);

    std::unique_ptr<Ui::frmPathSelect> ui_;
    QString current_;
    std::string productPath_;
};

// Shows frmPathSelect modally; returns the ProductPath it leaves (native path with a
// trailing separator, or "" after Cancel).
std::string ShowPathSelect(QWidget* parent);

}  // namespace keyvane
