// The folder picker for version 5.5.2.
#pragma once

#include <string>

class QWidget;

namespace keyvane {

// Shows frmPathSelect modally; returns the ProductPath it leaves (native path with a
// trailing separator, or "" after Cancel).
std::string ShowPathSelect(QWidget* parent);

}  // namespace keyvane
