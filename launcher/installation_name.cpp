#include "launcher/installation_name.h"

#include <cstdint>

std::string InstallationObjectName(const std::wstring& folded, const std::string& purpose) {
    if (folded.empty())
        return std::string();
    // wchar_t is 32 bits outside Windows: hash the 16-bit units the platform
    // holds, so the name is the same wherever this code runs.
    std::uint64_t hash = 14695981039346656037ull;
    for (wchar_t unit : folded) {
        const std::uint16_t value = static_cast<std::uint16_t>(unit);
        for (int shift = 0; shift < 16; shift += 8) {
            hash ^= (value >> shift) & 0xFFu;
            hash *= 1099511628211ull;
        }
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string digits(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4)
        digits[static_cast<size_t>(i)] = kDigits[hash & 0xFu];
    return "Local\\Orbex-" + purpose + "-" + digits;
}

bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer) {
    if (inner.empty() || outer.empty() || outer.back() != L'\\')
        return false;
    return inner.compare(0, outer.size(), outer) == 0;
}
