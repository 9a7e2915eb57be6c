#include "update/list_file.h"

namespace {

// Never a record: '*' is in no file name, and a journal record begins with
// its kind letter.
const char kEndLine[] = "*end";

}  // namespace

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
