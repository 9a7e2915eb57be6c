// Shared by the fuzz targets: a failed invariant must stop the run with a
// crash file, whatever the build's NDEBUG, so assert() is not enough.
#ifndef ORBEX_FUZZ_FUZZ_CHECK_H_
#define ORBEX_FUZZ_FUZZ_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/ansi_string.h"

#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

// The first input byte chooses the code page, so one corpus file pins both
// the text and the code page it was found with.
inline LeadByteTest PickCodePage(const uint8_t*& data, size_t& size) {
    if (size == 0)
        return NoLeadBytes;
    bool doubleByte = data[0] & 1;
    ++data;
    --size;
    return doubleByte ? CodePage932LeadByte : NoLeadBytes;
}

// Character starts of `text`, walked with the lead-byte test alone, so the
// targets do not judge the walking code by itself.
inline std::vector<char> CharStarts(const std::string& text, LeadByteTest isLeadByte) {
    std::vector<char> starts(text.size() + 1, false);
    size_t pos = 0;
    while (pos < text.size()) {
        starts[pos] = true;
        bool pair = isLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size();
        pos += pair ? 2 : 1;
    }
    starts[text.size()] = true;
    return starts;
}

// True when a single-byte character `ch` occurs in `text` (trail bytes skipped).
inline bool HasChar(const std::string& text, char ch, LeadByteTest isLeadByte) {
    std::vector<char> starts = CharStarts(text, isLeadByte);
    for (size_t pos = 0; pos < text.size(); ++pos) {
        if (starts[pos] && text[pos] == ch && starts[pos + 1])
            return true;
    }
    return false;
}

#endif  // ORBEX_FUZZ_FUZZ_CHECK_H_
