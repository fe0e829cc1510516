#include "chat/ChatLook.h"

#include <cctype>

#include "platform/cp1252.h"
#include "platform/files.h"
#include "platform/numbers.h"

namespace keyvane {

namespace {

// Whether the lenient parse finds a number at the start of `text` rather than
// falling back to 0 for text that is none.
bool StartsWithNumber(const std::string& text) {
    std::string s;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n') s += c;
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i < s.size() && s[i] == '.') ++i;
    return i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]));
}

std::optional<int32_t> ReadColor(const std::string& field) {
    if (!StartsWithNumber(field)) return std::nullopt;
    try {
        return ToInt32(Val(field));
    } catch (const OverflowError&) {
        return std::nullopt;
    }
}

}  // namespace

std::vector<std::string> FontDatLines(const ChatLook& look) {
    // A name with a comma would split into two fields on reading; quoted it stays one.
    std::string name = look.fontName;
    if (name.find(',') != std::string::npos) name = '"' + name + '"';
    return {StrNumber(look.back), StrNumber(look.fore), name,
            StrNumber(static_cast<float>(look.fontSize))};
}

void WriteFontDat(const std::string& path, const ChatLook& look) {
    WriteTextLines(path, FontDatLines(look));
}

ChatLook ParseFontDat(const std::string& content, const ChatLook& fallback) {
    ChatLook look = fallback;
    ItemReader in(content);
    try {
        if (auto c = ReadColor(in.NextItem())) look.back = *c;
        if (auto c = ReadColor(in.NextItem())) look.fore = *c;
        if (std::string name = in.NextItem(); !name.empty()) look.fontName = name;
        const std::string size = in.NextItem();
        // The largest size a font chooser offers is 1638 points.
        if (StartsWithNumber(size) && Val(size) >= 1 && Val(size) <= 1638)
            look.fontSize = static_cast<float>(Val(size));
    } catch (const EndOfFileError&) {
        // Fewer than four fields: the rest keeps its default.
    }
    return look;
}

std::optional<int32_t> FontWindowLogic::PickColor() {
    if (auto c = p_.ChooseColor()) color_ = *c;
    // Black is the chooser's "nothing chosen yet", so it is never applied.
    if (color_ == 0) return std::nullopt;
    return color_;
}

void FontWindowLogic::PickBackground() {
    if (auto c = PickColor()) sample_.back = *c;
}

void FontWindowLogic::PickCharacter() {
    if (auto c = PickColor()) sample_.fore = *c;
}

void FontWindowLogic::PickFont() {
    if (auto f = p_.ChooseFont()) {
        fontName_ = f->name;
        fontSize_ = f->size;
    }
    if (fontName_.empty()) return;
    sample_.fontName = fontName_;
    sample_.fontSize = fontSize_;
}

bool FontWindowLogic::Set(const std::string& fontDatPath) {
    try {
        WriteFontDat(fontDatPath, sample_);
        return true;
    } catch (const FileError& e) {
        p_.MsgBox("The chat look could not be saved (" + Utf8ToCp1252(e.what()) +
                  "). It applies until Keyvane ends.");
        return false;
    }
}

}  // namespace keyvane
