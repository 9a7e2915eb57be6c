// Walks arbitrary text character by character in both code pages.
#include <string>

#include "base/ansi_string.h"
#include "fuzz/fuzz_check.h"

namespace {

void CheckWalk(const std::string& text, LeadByteTest isLeadByte) {
    const std::vector<char> starts = CharStarts(text, isLeadByte);
    size_t pos = 0;
    size_t last = 0;
    while (pos < text.size()) {
        FUZZ_CHECK(starts[pos]);
        size_t length = CharLengthAt(text, pos, isLeadByte);
        FUZZ_CHECK(length == 1 || length == 2);
        FUZZ_CHECK(pos + length <= text.size());
        FUZZ_CHECK((length == 2) ==
                   (isLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size()));
        last = pos;
        pos += length;
    }
    FUZZ_CHECK(pos == text.size());
    if (text.empty()) {
        FUZZ_CHECK(!LastCharIs(text, '\0', isLeadByte));
        return;
    }

    FUZZ_CHECK(LastCharStart(text, isLeadByte) == last);
    const bool lastIsSingle = last == text.size() - 1;
    FUZZ_CHECK(LastCharIs(text, text.back(), isLeadByte) == lastIsSingle);
    FUZZ_CHECK(LastCharIs(text, '\\', isLeadByte) == (lastIsSingle && text.back() == '\\'));
    if (isLeadByte == NoLeadBytes)
        FUZZ_CHECK(lastIsSingle);

    // The walk never ends inside a character, so a byte appended after it
    // is a character of its own, unless a lone lead byte takes it as trail.
    const bool endsWithLoneLeadByte =
        lastIsSingle && isLeadByte(static_cast<unsigned char>(text.back()));
    const size_t appendedStart = endsWithLoneLeadByte ? last : text.size();
    FUZZ_CHECK(LastCharStart(text + "a", isLeadByte) == appendedStart);
    FUZZ_CHECK(LastCharIs(text + "\\", '\\', isLeadByte) == !endsWithLoneLeadByte);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckWalk(text, NoLeadBytes);
    CheckWalk(text, CodePage932LeadByte);
    return 0;
}
