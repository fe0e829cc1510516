// System colours (codes with the top bit set) against the Qt palette, and the chat look
// applied to a widget.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <optional>

#include "chat/ChatLook.h"

class QWidget;

namespace keyvane {

// The palette role a system colour code stands for; nothing for an unknown index.
std::optional<QPalette::ColorRole> PaletteRoleFor(int32_t code);
// The system colour code that stands for a palette role; nothing when none does.
std::optional<int32_t> SystemColorFor(QPalette::ColorRole role);

// A colour code as a colour: plain ones directly, system ones from `palette`.
// Invalid for a system colour of unknown index.
QColor ResolveColor(int32_t code, const QPalette& palette);

// The look of a plain text field in `font`, with the colours as system colours.
ChatLook DefaultChatLook(const QFont& font);

// Gives the text area of `w` the look's background and text colour, then its font name
// and size. Parts that cannot be shown (an unknown system colour, no name, no size)
// keep what the widget has.
void ApplyChatLook(QWidget* w, const ChatLook& look);

}  // namespace keyvane
