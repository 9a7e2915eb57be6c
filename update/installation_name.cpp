#include "update/installation_name.h"

#include <cstdint>

std::string InstallationObjectName(const std::u16string& folded, const std::string& purpose,
                                   ObjectScope scope) {
    if (folded.empty())
        return std::string();
    std::uint64_t hash = 14695981039346656037ull;
    for (char16_t unit : folded) {
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
    const char* prefix = scope == ObjectScope::kAllSessions ? "Global\\" : "Local\\";
    return prefix + ("Orbex-" + purpose + "-" + digits);
}

bool IsSameOrInside(const std::u16string& inner, const std::u16string& outer) {
    if (inner.empty() || outer.empty() || outer.back() != u'\\')
        return false;
    return inner.compare(0, outer.size(), outer) == 0;
}
