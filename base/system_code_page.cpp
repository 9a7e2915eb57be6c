#include "base/system_code_page.h"

#include <windows.h>

#include <climits>
#include <vector>

bool IsSystemLeadByte(unsigned char byte) {
    return IsDBCSLeadByte(byte) != FALSE;
}

size_t Utf16Length(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX)
        return text.size();
    // Without MB_ERR_INVALID_CHARS an undecodable byte becomes one U+FFFD.
    const int units =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    return units > 0 ? static_cast<size_t>(units) : text.size();
}

std::u16string ToUtf16(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX)
        return std::u16string();
    const int units =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0)
        return std::u16string();
    std::u16string wide(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<wchar_t*>(&wide[0]), units);
    return wide;
}

bool FoldCase(std::u16string& text) {
    if (text.empty())
        return true;
    // LCMapStringW rather than CharUpperBuffW: the latter would make the
    // launcher import user32, which costs every start.
    wchar_t* units = reinterpret_cast<wchar_t*>(&text[0]);
    const int length = static_cast<int>(text.size());
    return LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, units, length, units, length) == length;
}

namespace {

// Converts between `from` and `to` through UTF-16; false when a character
// is not well-formed in `from` or has no exact spelling in `to`.
bool Convert(UINT from, UINT to, const std::string& text, std::string& converted) {
    converted.clear();
    if (text.empty())
        return true;
    if (text.size() > INT_MAX)
        return false;
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (units <= 0)
        return false;
    std::vector<wchar_t> wide(static_cast<size_t>(units));
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), units);
    // UTF-8 takes neither flags nor the default-character report.
    const bool utf8 = to == CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* reportDefault = utf8 ? nullptr : &usedDefault;
    const int bytes =
        WideCharToMultiByte(to, flags, wide.data(), units, nullptr, 0, nullptr, reportDefault);
    if (bytes <= 0 || usedDefault)
        return false;
    converted.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(to, flags, wide.data(), units, &converted[0], bytes, nullptr, reportDefault);
    return !usedDefault;
}

}  // namespace

std::string SystemToUtf8(const std::string& text) {
    std::string converted;
    if (GetACP() == CP_UTF8 || !Convert(CP_ACP, CP_UTF8, text, converted))
        return text;
    return converted;
}

bool Utf8ToSystem(const std::string& text, std::string& converted) {
    if (GetACP() == CP_UTF8)
        return Convert(CP_UTF8, CP_UTF8, text, converted);
    return Convert(CP_UTF8, CP_ACP, text, converted);
}
