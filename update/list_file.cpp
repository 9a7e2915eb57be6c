#include "update/list_file.h"

namespace {

// Never a record: '*' is in no file name, and a journal record begins with
// its kind letter.
const char kEndLine[] = "*end";

}  // namespace

const char kVersionListHeader1[] = "Orbex version list 1";
const char kVersionListHeader2[] = "Orbex version list 2";

std::string FormatListFile(const std::string& header, const StringList& records) {
    size_t size = header.size() + sizeof kEndLine + 4;
    for (const std::string& record : records)
        size += record.size() + 2;
    std::string text;
    text.reserve(size);
    text += header + "\r\n";
    for (const std::string& record : records)
        text += record + "\r\n";
    text += kEndLine;
    text += "\r\n";
    return text;
}

bool ParseListFile(const std::string& text, const std::string& header, StringList& records,
                   StringList& afterEnd) {
    records.clear();
    afterEnd.clear();
    bool sawHeader = false, sawEnd = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        const bool complete = end != std::string::npos;
        if (!complete)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        start = end + 1;
        if (!sawHeader) {
            if (line != header || !complete)
                return false;
            sawHeader = true;
        } else if (sawEnd) {
            afterEnd.push_back(line);
        } else if (!complete) {
            return false;
        } else if (line == kEndLine) {
            sawEnd = true;
        } else {
            records.push_back(line);
        }
    }
    return sawEnd;
}

std::string FormatVersionRecord(const VersionEntry& entry) {
    if (!entry.hasDigest)
        return "d " + entry.path;
    return std::string(entry.staged ? "s " : "k ") + std::to_string(entry.size) + ' ' +
           DigestToHex(entry.digest) + ' ' + entry.path;
}

bool ParseVersionRecord(const std::string& record, bool withDigests, VersionEntry& entry) {
    entry = VersionEntry();
    if (!withDigests) {
        entry.path = record;
        return true;
    }
    if (record.size() < 3 || record[1] != ' ')
        return false;
    const char kind = record[0];
    if (kind == 'd') {
        entry.path = record.substr(2);
        return !entry.path.empty() && entry.path.back() == '\\';
    }
    if (kind != 's' && kind != 'k')
        return false;
    const size_t sizeEnd = record.find(' ', 2);
    if (sizeEnd == std::string::npos || sizeEnd == 2 || sizeEnd - 2 > 20)
        return false;
    unsigned long long size = 0;
    for (size_t i = 2; i < sizeEnd; ++i) {
        const char digit = record[i];
        if (digit < '0' || digit > '9')
            return false;
        const unsigned value = static_cast<unsigned>(digit - '0');
        if (size > (~0ull - value) / 10)
            return false;
        size = size * 10 + value;
    }
    if (record.size() < sizeEnd + 1 + 64 + 2 || record[sizeEnd + 65] != ' ' ||
        !DigestFromHex(record.substr(sizeEnd + 1, 64), entry.digest))
        return false;
    entry.path = record.substr(sizeEnd + 66);
    entry.hasDigest = true;
    entry.staged = kind == 's';
    entry.size = size;
    return entry.path.back() != '\\';
}
