// Stand-in QApplication main for keyvane_gui_tests until tests/support/gui_main.cpp
// exists. It is weak, so the real one replaces it without a clash; delete this file once
// that one is in.
#include <gtest/gtest.h>

#include <QApplication>

__attribute__((weak)) int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
