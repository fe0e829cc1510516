#include "chat/SystemColors.h"

#include <QApplication>
#include <QFontInfo>
#include <QWidget>
#include <array>
#include <utility>

#include "platform/qt/QtPlatform.h"

namespace keyvane {

namespace {

using Role = QPalette::ColorRole;

// The system colour indices of the platform's colour encoding and the palette role
// each one plays in a Qt palette.
constexpr std::array<std::pair<int, Role>, 30> kIndexRoles{{
    {0, QPalette::Mid},               // scroll bar
    {1, QPalette::Dark},              // desktop
    {2, QPalette::Highlight},         // active caption
    {3, QPalette::Mid},               // inactive caption
    {4, QPalette::Window},            // menu
    {5, QPalette::Base},              // window (text field) background
    {6, QPalette::Shadow},            // window frame
    {7, QPalette::WindowText},        // menu text
    {8, QPalette::Text},              // window (text field) text
    {9, QPalette::HighlightedText},   // caption text
    {10, QPalette::Button},           // active border
    {11, QPalette::Button},           // inactive border
    {12, QPalette::Mid},              // application workspace
    {13, QPalette::Highlight},        // highlight
    {14, QPalette::HighlightedText},  // highlighted text
    {15, QPalette::Button},           // button face
    {16, QPalette::Dark},             // button shadow
    {17, QPalette::PlaceholderText},  // grey text
    {18, QPalette::ButtonText},       // button text
    {19, QPalette::WindowText},       // inactive caption text
    {20, QPalette::Light},            // button highlight
    {21, QPalette::Shadow},           // 3-D dark shadow
    {22, QPalette::Midlight},         // 3-D light
    {23, QPalette::ToolTipText},      // tooltip text
    {24, QPalette::ToolTipBase},      // tooltip background
    {26, QPalette::Link},             // hot-tracked item
    {27, QPalette::Highlight},        // gradient of the active caption
    {28, QPalette::Mid},              // gradient of the inactive caption
    {29, QPalette::Highlight},        // menu highlight
    {30, QPalette::Window},           // menu bar
}};

// The way back: the index that names each role, chosen so that it leads to the role
// again.
constexpr std::array<std::pair<Role, int>, 17> kRoleIndices{{
    {QPalette::Base, 5},
    {QPalette::Text, 8},
    {QPalette::Window, 4},
    {QPalette::WindowText, 7},
    {QPalette::Button, 15},
    {QPalette::ButtonText, 18},
    {QPalette::Highlight, 13},
    {QPalette::HighlightedText, 14},
    {QPalette::Light, 20},
    {QPalette::Midlight, 22},
    {QPalette::Mid, 12},
    {QPalette::Dark, 16},
    {QPalette::Shadow, 21},
    {QPalette::ToolTipBase, 24},
    {QPalette::ToolTipText, 23},
    {QPalette::Link, 26},
    {QPalette::PlaceholderText, 17},
}};

}  // namespace

std::optional<QPalette::ColorRole> PaletteRoleFor(int32_t code) {
    if (!IsSystemColor(code)) return std::nullopt;
    const auto u = static_cast<uint32_t>(code);
    if (u > 0x800000FFu) return std::nullopt;
    const int index = static_cast<int>(u & 0xFFu);
    for (const auto& [i, role] : kIndexRoles)
        if (i == index) return role;
    return std::nullopt;
}

std::optional<int32_t> SystemColorFor(QPalette::ColorRole role) {
    for (const auto& [r, index] : kRoleIndices)
        if (r == role) return SystemColor(index);
    return std::nullopt;
}

QColor ResolveColor(int32_t code, const QPalette& palette) {
    if (!IsSystemColor(code)) return QColor(code & 0xFF, (code >> 8) & 0xFF, (code >> 16) & 0xFF);
    if (auto role = PaletteRoleFor(code)) return palette.color(QPalette::Active, *role);
    return QColor();
}

ChatLook DefaultChatLook(const QFont& font) {
    const QFontInfo info(font);
    return ChatLook{kWindowBackground, kWindowText, FromQ(info.family()), info.pointSizeF()};
}

void ApplyChatLook(QWidget* w, const ChatLook& look) {
    QPalette pal = w->palette();
    const QPalette system = QApplication::palette(w);
    if (QColor c = ResolveColor(look.back, system); c.isValid()) pal.setColor(QPalette::Base, c);
    if (QColor c = ResolveColor(look.fore, system); c.isValid()) pal.setColor(QPalette::Text, c);
    w->setPalette(pal);
    QFont f = w->font();
    if (!look.fontName.empty()) f.setFamily(ToQ(look.fontName));
    if (look.fontSize > 0) f.setPointSizeF(look.fontSize);
    w->setFont(f);
}

}  // namespace keyvane
