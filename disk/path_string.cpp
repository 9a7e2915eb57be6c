#include "disk/path_string.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Code of the character at `pos` and its byte length.
unsigned CharCodeAt(const std::string& text, size_t pos, LeadByteTest isLeadByte,
                    size_t* length) {
    *length = CharLengthAt(text, pos, isLeadByte);
    unsigned code = static_cast<unsigned char>(text[pos]);
    if (*length == 2)
        code = code * 256 + static_cast<unsigned char>(text[pos + 1]);
    return code;
}

}  // namespace

size_t FindChar(const std::string& text, char ch, LeadByteTest isLeadByte, size_t from) {
    for (size_t pos = from; pos < text.size(); pos += CharLengthAt(text, pos, isLeadByte)) {
        if (text[pos] == ch && CharLengthAt(text, pos, isLeadByte) == 1)
            return pos;
    }
    return std::string::npos;
}

bool ContainsAnyChar(const std::string& text, const char* chars, LeadByteTest isLeadByte) {
    for (size_t pos = 0; pos < text.size(); pos += CharLengthAt(text, pos, isLeadByte)) {
        if (CharLengthAt(text, pos, isLeadByte) == 1 && text[pos] != '\0' &&
            std::strchr(chars, text[pos]) != nullptr)
            return true;
    }
    return false;
}

void ReplaceChar(std::string& text, char from, char to, LeadByteTest isLeadByte) {
    for (size_t pos = 0; pos < text.size(); pos += CharLengthAt(text, pos, isLeadByte)) {
        if (text[pos] == from && CharLengthAt(text, pos, isLeadByte) == 1)
            text[pos] = to;
    }
}

PathParts SplitPath(const std::string& path, LeadByteTest isLeadByte) {
    PathParts parts;
    size_t start = 0;
    if (!path.empty()) {
        size_t first = CharLengthAt(path, 0, isLeadByte);
        if (first < path.size() && path[first] == ':')
            start = first + 1;
    }
    parts.drive = path.substr(0, start);

    size_t folderEnd = start;  // one past the last separator
    size_t lastDot = std::string::npos;
    for (size_t pos = start; pos < path.size(); pos += CharLengthAt(path, pos, isLeadByte)) {
        if (CharLengthAt(path, pos, isLeadByte) != 1)
            continue;
        if (path[pos] == '\\' || path[pos] == '/') {
            folderEnd = pos + 1;
            lastDot = std::string::npos;
        } else if (path[pos] == '.') {
            lastDot = pos;
        }
    }
    parts.folder = path.substr(start, folderEnd - start);
    size_t nameEnd = lastDot == std::string::npos ? path.size() : lastDot;
    parts.name = path.substr(folderEnd, nameEnd - folderEnd);
    parts.extension = path.substr(nameEnd);
    return parts;
}

std::string JoinFolder(const std::string& folder, const std::string& rest,
                       LeadByteTest isLeadByte) {
    if (LastCharIs(folder, '\\', isLeadByte))
        return folder + rest;
    return folder + '\\' + rest;
}

std::string TrimWhiteSpace(const std::string& text) {
    const char* space = " \t\n\v\f\r";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

int CompareCodePage(const std::string& a, const std::string& b, LeadByteTest isLeadByte) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        size_t lengthA = 0;
        size_t lengthB = 0;
        unsigned codeA = CharCodeAt(a, i, isLeadByte, &lengthA);
        unsigned codeB = CharCodeAt(b, j, isLeadByte, &lengthB);
        if (codeA != codeB)
            return codeA < codeB ? -1 : 1;
        i += lengthA;
        j += lengthB;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

void InsertSorted(StringList& list, StringList names, LeadByteTest isLeadByte) {
    auto less = [isLeadByte](const std::string& a, const std::string& b) {
        return CompareCodePage(a, b, isLeadByte) < 0;
    };
    std::stable_sort(names.begin(), names.end(), less);
    if (list.empty()) {
        list = std::move(names);
        return;
    }
    // On ties std::merge takes the element of the first range first: names
    // already in the list stay before equal newcomers.
    StringList merged;
    merged.reserve(list.size() + names.size());
    std::merge(std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()),
               std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()),
               std::back_inserter(merged), less);
    list = std::move(merged);
}

FolderLevels SplitFolderLevels(const std::string& drive, const std::string& folder,
                               LeadByteTest isLeadByte) {
    FolderLevels result;
    result.root = drive;
    std::string rest = folder;
    if (rest.size() > 2 && rest.compare(0, 2, "\\\\") == 0) {
        rest.erase(0, 2);
        size_t slash = FindChar(rest, '\\', isLeadByte);
        if (slash == std::string::npos) {
            result.root.clear();
        } else {
            result.root = "\\\\" + rest.substr(0, slash);
            rest.erase(0, slash + 1);
        }
    }
    size_t start = rest.find_first_not_of('\\');
    rest.erase(0, start == std::string::npos ? rest.size() : start);

    size_t pos = 0;
    while (pos < rest.size()) {
        size_t slash = FindChar(rest, '\\', isLeadByte, pos);
        if (slash == std::string::npos) {
            result.levels.push_back(rest.substr(pos));
            break;
        }
        result.levels.push_back(rest.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return result;
}
