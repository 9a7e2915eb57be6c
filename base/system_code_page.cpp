#include "base/system_code_page.h"

#include <windows.h>

#include <climits>

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
