// The platform pieces of a desktop session over Qt Widgets, and the small helpers every
// window of the program shares (its font, centring, Windows-1252 text at the edge).
#pragma once

#include <QFont>
#include <QString>
#include <string>

#include "platform/platform.h"

class QWidget;

namespace keyvane {

// Fills every hook of `p` with its Qt implementation; dialogs are parented to `window`.
void InstallQtPlatform(Platform& p, QWidget* window);

// A question about the connection's safety ("continue anyway?"): caption "Keyvane",
// Yes and No with No the default, so that Enter does not take the risk. True for Yes.
bool RiskBox(QWidget* owner, const std::string& text);

// The window font: a plain sans-serif at 11 pixels, small enough that every caption fits
// the fixed geometry of the windows.
QFont WindowFont();

// Widens the labels under `root` whose caption needs a pixel or two more than the
// design gives them in this font. A label has no visible edge, so nothing seems to move.
void FitLabels(QWidget* root);

// Moves a top-level window to the centre of the screen it is on (or the primary one).
void CenterOnScreen(QWidget* window);

// Windows-1252 bytes to and from Qt text.
QString ToQ(const std::string& bytes);
std::string FromQ(const QString& text);

// A colour of the platform's encoding (0x00BBGGRR) from red, green and blue.
constexpr int32_t Rgb(int r, int g, int b) {
    return r | (g << 8) | (b << 16);
}

}  // namespace keyvane
