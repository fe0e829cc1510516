#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>

#include "support/tempdir.h"
#include "sysfiles/frmPathSelect.h"

namespace keyvane {
namespace {

// Runs each test in a fresh working folder holding "prog" and "other".
class PathSelect : public ::testing::Test {
  protected:
    void SetUp() override {
        old_ = std::filesystem::current_path();
        std::filesystem::create_directories(dir_.file("prog/veltra"));
        std::filesystem::create_directories(dir_.file("other"));
        // The canonical form, as the picker reports it.
        root_ = std::filesystem::canonical(dir_.path()).string();
        std::filesystem::current_path(root_);
    }
    void TearDown() override { std::filesystem::current_path(old_); }

    static QTreeWidgetItem* Find(QTreeWidget* tree, const QString& text) {
        const auto items = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }
    static void DoubleClick(frmPathSelect& f, const QString& text) {
        QTreeWidgetItem* item = Find(f.Dir1(), text);
        ASSERT_NE(item, nullptr) << text.toStdString();
        emit f.Dir1()->itemDoubleClicked(item, 0);
    }

    test::TempDir dir_;
    std::string root_;
    std::filesystem::path old_;
};

TEST_F(PathSelect, OpensOnTheWorkingFolderWithItsCaptionAndSize) {
    frmPathSelect f;
    EXPECT_EQ(f.windowTitle(), "Select Path where Veltra 5.5.2 is located");
    EXPECT_EQ(f.size(), QSize(428, 256));
    EXPECT_EQ(f.Dir1()->geometry(), QRect(8, 40, 257, 201));
    EXPECT_EQ(f.Command1()->text(), "Set");
    EXPECT_EQ(f.Command2()->text(), "Cancel");
    EXPECT_EQ(f.CurrentFolder().toStdString(), root_);
    EXPECT_EQ(f.ProductPath(), root_ + "/");
    // The open folder lists its sub-folders; a single click only highlights.
    QTreeWidgetItem* prog = Find(f.Dir1(), "prog");
    ASSERT_NE(prog, nullptr);
    ASSERT_NE(Find(f.Dir1(), "other"), nullptr);
    f.Dir1()->setCurrentItem(prog);
    EXPECT_EQ(f.CurrentFolder().toStdString(), root_);
    EXPECT_GE(f.Drive1()->count(), 1);
    EXPECT_EQ(f.Drive1()->currentText(), "/");
}

TEST_F(PathSelect, SetTakesTheOpenFolder) {
    frmPathSelect f;
    DoubleClick(f, "prog");
    DoubleClick(f, "veltra");
    EXPECT_EQ(f.CurrentFolder().toStdString(), root_ + "/prog/veltra");
    // Going back up through a parent shown above the open folder.
    DoubleClick(f, "prog");
    EXPECT_EQ(f.CurrentFolder().toStdString(), root_ + "/prog");
    // Choosing a drive leaves the folder tree alone.
    f.Drive1()->addItem("/elsewhere");
    f.Drive1()->setCurrentIndex(f.Drive1()->count() - 1);
    EXPECT_EQ(f.CurrentFolder().toStdString(), root_ + "/prog");
    f.Command1()->click();
    EXPECT_EQ(f.result(), QDialog::Accepted);
    EXPECT_EQ(f.ProductPath(), root_ + "/prog/");
}

TEST_F(PathSelect, CancelLeavesNoPathAndTheCloseBoxTheOpeningOne) {
    {
        frmPathSelect f;
        DoubleClick(f, "other");
        f.Command2()->click();
        EXPECT_EQ(f.ProductPath(), "");
    }
    {
        frmPathSelect f;
        f.show();
        DoubleClick(f, "other");
        f.close();
        EXPECT_EQ(f.ProductPath(), root_ + "/");
    }
}

TEST_F(PathSelect, ShownModallyAndAnewEachTime) {
    auto clickWhenShown = [](const char* button, const QString& open) {
        QTimer::singleShot(0, [button, open] {
            auto* f = qobject_cast<frmPathSelect*>(QApplication::activeModalWidget());
            ASSERT_NE(f, nullptr);
            if (!open.isEmpty()) f->OpenFolder(open);
            if (std::string(button) == "close")
                f->close();
            else
                f->findChild<QPushButton*>(button)->click();
        });
    };
    clickWhenShown("Command1", QString::fromStdString(root_ + "/prog"));
    EXPECT_EQ(ShowPathSelect(nullptr), root_ + "/prog/");
    // The next opening starts at the working folder again.
    clickWhenShown("close", "");
    EXPECT_EQ(ShowPathSelect(nullptr), root_ + "/");
    clickWhenShown("Command2", "");
    EXPECT_EQ(ShowPathSelect(nullptr), "");
}

}  // namespace
}  // namespace keyvane
