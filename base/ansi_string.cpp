#include "base/ansi_string.h"

bool NoLeadBytes(unsigned char) {
    return false;
}

bool CodePage932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

size_t CharLengthAt(const std::string& text, size_t pos, LeadByteTest isLeadByte) {
    if (pos + 1 < text.size() && isLeadByte(static_cast<unsigned char>(text[pos])))
        return 2;
    return 1;
}

size_t LastCharStart(const std::string& text, LeadByteTest isLeadByte) {
    size_t pos = 0;
    size_t last = 0;
    while (pos < text.size()) {
        last = pos;
        pos += CharLengthAt(text, pos, isLeadByte);
    }
    return last;
}

bool LastCharIs(const std::string& text, char ch, LeadByteTest isLeadByte) {
    if (text.empty())
        return false;
    size_t last = LastCharStart(text, isLeadByte);
    return last == text.size() - 1 && text[last] == ch;
}
