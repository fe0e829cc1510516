#include "sysfiles/frmPathSelect.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QScreen>
#include <QStorageInfo>
#include <QStyle>
#include <QTreeWidgetItem>
#include <algorithm>

#include "ui_frmPathSelect.h"

namespace keyvane {

frmPathSelect::frmPathSelect(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::frmPathSelect>()) {
    ui_->setupUi(this);
    setFixedSize(size());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    connect(ui_->Dir1, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        OpenFolder(item->data(0, Qt::UserRole).toString());
    });
    connect(ui_->Command1, &QPushButton::clicked, this, [this] { Set(); });
    connect(ui_->Command2, &QPushButton::clicked, this, [this] { Cancel(); });

    // The close box leaves this value; Set and Cancel replace it.
    current_ = QDir::currentPath();
    productPath_ = WithSeparator(current_);
    FillDrives();
    FillFolders();
}

frmPathSelect::~frmPathSelect() = default;

QComboBox* frmPathSelect::Drive1() const {
    return ui_->Drive1;
}
QTreeWidget* frmPathSelect::Dir1() const {
    return ui_->Dir1;
}
QPushButton* frmPathSelect::Command1() const {
    return ui_->Command1;
}
QPushButton* frmPathSelect::Command2() const {
    return ui_->Command2;
}

std::string frmPathSelect::WithSeparator(const QString& folder) {
    std::string path = QFile::encodeName(QDir::toNativeSeparators(folder)).toStdString();
    const char sep = QDir::separator().toLatin1();
    if (path.empty() || path.back() != sep) path += sep;
    return path;
}

void frmPathSelect::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

// Every mounted volume's root; the one holding the open folder is shown. Choosing
// another one leaves Dir1 where it is.
void frmPathSelect::FillDrives() {
    QStringList roots;
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes())
        if (v.isValid() && v.isReady()) roots << v.rootPath();
    const QString mine = QStorageInfo(current_).rootPath();
    if (!mine.isEmpty()) roots << mine;
    roots.removeDuplicates();
    std::sort(roots.begin(), roots.end());
    ui_->Drive1->addItems(roots);
    ui_->Drive1->setCurrentIndex(std::max(0, static_cast<int>(roots.indexOf(mine))));
}

void frmPathSelect::FillFolders() {
    QTreeWidget* tree = ui_->Dir1;
    tree->clear();
    const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);

    QStringList chain;  // the open folder and its parents, root first
    QDir dir(current_);
    for (;;) {
        chain.prepend(dir.absolutePath());
        if (dir.isRoot() || !dir.cdUp()) break;
    }
    QTreeWidgetItem* parent = nullptr;
    for (const QString& path : chain) {
        const QString name =
            QDir(path).isRoot() ? QDir::toNativeSeparators(path) : QDir(path).dirName();
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
        item->setText(0, name);
        item->setIcon(0, open);
        item->setData(0, Qt::UserRole, path);
        item->setExpanded(true);
        parent = item;
    }
    const QStringList subs = QDir(current_).entryList(
        QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
    for (const QString& sub : subs) {
        auto* item = new QTreeWidgetItem(parent);
        item->setText(0, sub);
        item->setIcon(0, closed);
        item->setData(0, Qt::UserRole, QDir(current_).absoluteFilePath(sub));
    }
    if (parent) {
        parent->setExpanded(true);
        tree->setCurrentItem(parent);
        tree->scrollToItem(parent);
    }
}

void frmPathSelect::OpenFolder(const QString& path) {
    const QDir dir(path);
    if (path.isEmpty() || !dir.exists()) return;
    current_ = QDir::cleanPath(dir.absolutePath());
    FillFolders();
}

void frmPathSelect::Set() {
    productPath_ = WithSeparator(current_);
    accept();
}

void frmPathSelect::Cancel() {
    productPath_.clear();
    reject();
}

std::string ShowPathSelect(QWidget* parent) {
    frmPathSelect dialog(parent);
    dialog.exec();
    return dialog.ProductPath();
}

}  // namespace keyvane
