#include "update/update_names.h"

#include <cstring>

const char kUpdateFolderName[] = "update\\";
const char kPartialFolderName[] = "update.partial\\";
const char kOldFolderName[] = "update.old\\";
const char kBackupFolderName[] = "update.backup\\";
const char kVersionListName[] = "update.version";
const char kJournalName[] = "update.journal";
const char kMainProgramName[] = "Orbex.exe";
const char kPostUpgradeProgramName[] = "OrbexPostUpgrade.exe";

namespace {

char AsciiLower(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// `text` begins with the lower-case ASCII `prefix`, in any case.
bool StartsWithFolded(const std::string& text, const char* prefix) {
    const size_t length = std::strlen(prefix);
    if (text.size() < length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (AsciiLower(text[i]) != prefix[i])
            return false;
    }
    return true;
}

bool EqualsFolded(const std::string& text, const char* lower) {
    return text.size() == std::strlen(lower) && StartsWithFolded(text, lower);
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices in every folder, also
// with an extension ("nul.txt").
bool IsDeviceName(const std::string& name) {
    const std::string base = name.substr(0, name.find('.'));
    for (const char* device : {"con", "prn", "aux", "nul"}) {
        if (EqualsFolded(base, device))
            return true;
    }
    return base.size() == 4 && (StartsWithFolded(base, "com") || StartsWithFolded(base, "lpt")) &&
           base[3] >= '1' && base[3] <= '9';
}

// Length of the well-formed UTF-8 sequence at `pos`, or 0: no overlong
// forms, no surrogates, nothing past U+10FFFF.
size_t Utf8SequenceAt(const std::string& text, size_t pos) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (pos + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

bool IsValidName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ')
        return false;
    for (size_t pos = 0; pos < name.size();) {
        const size_t length = Utf8SequenceAt(name, pos);
        if (length == 0)
            return false;
        const unsigned char ch = static_cast<unsigned char>(name[pos]);
        if (length == 1 && (ch < 0x20 || ch == 0x7F || std::strchr("/:*?\"<>|", ch)))
            return false;
        pos += length;
    }
    return !IsDeviceName(name);
}

}  // namespace

bool IsReservedName(const std::string& name) {
    return EqualsFolded(name, "update") || StartsWithFolded(name, "update.") ||
           StartsWithFolded(name, "update~");
}

bool IsInstallationPath(const std::string& path) {
    std::string names = path;
    if (!names.empty() && names.back() == '\\')
        names.pop_back();
    if (names.empty())
        return false;
    // In UTF-8 no byte of a longer character is a backslash, so the names
    // can be cut at every one.
    size_t start = 0;
    for (;;) {
        const size_t end = names.find('\\', start);
        const std::string name = names.substr(start, end - start);
        if (!IsValidName(name) || (start == 0 && IsReservedName(name)))
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}
