// Splits, searches, rewrites and joins arbitrary paths in both code pages.
#include <string>
#include <vector>

#include "disk/path_string.h"
#include "fuzz/fuzz_check.h"

namespace {

void CheckSplitPath(const std::string& path, LeadByteTest isLeadByte) {
    const PathParts parts = SplitPath(path, isLeadByte);
    // Nothing is cut or added: the parts are the path.
    FUZZ_CHECK(parts.drive + parts.folder + parts.name + parts.extension == path);

    const std::vector<char> starts = CharStarts(path, isLeadByte);
    const size_t folderAt = parts.drive.size();
    const size_t nameAt = folderAt + parts.folder.size();
    const size_t extensionAt = nameAt + parts.name.size();
    FUZZ_CHECK(starts[folderAt] && starts[nameAt] && starts[extensionAt]);

    // The drive is the first character and a colon, whenever that is there.
    size_t secondAt = 1;
    while (secondAt < path.size() && !starts[secondAt])
        ++secondAt;
    const bool hasDrive = secondAt < path.size() && path[secondAt] == ':' && starts[secondAt + 1];
    FUZZ_CHECK(parts.drive.size() == (hasDrive ? secondAt + 1 : 0));

    // The folder ends at the last separator; no separator after it, and no
    // dot after the extension's own.
    if (!parts.folder.empty()) {
        const char last = path[nameAt - 1];
        FUZZ_CHECK(starts[nameAt - 1] && (last == '\\' || last == '/'));
    }
    for (size_t pos = nameAt; pos < path.size(); ++pos) {
        if (!starts[pos] || !starts[pos + 1])
            continue;
        FUZZ_CHECK(path[pos] != '\\' && path[pos] != '/');
        if (pos > extensionAt)
            FUZZ_CHECK(path[pos] != '.');
        if (parts.extension.empty())
            FUZZ_CHECK(path[pos] != '.');
    }
    if (!parts.extension.empty())
        FUZZ_CHECK(parts.extension[0] == '.');
}

void CheckFindAndReplace(const std::string& text, LeadByteTest isLeadByte) {
    const std::vector<char> starts = CharStarts(text, isLeadByte);
    for (char ch : {'\\', '/', ':', '.', '\x81'}) {
        // Searching from 0 and from just after each hit visits every hit.
        size_t from = 0;
        for (size_t pos = 0; pos <= text.size(); ++pos) {
            const bool hit = pos < text.size() && starts[pos] && starts[pos + 1] && text[pos] == ch;
            if (!hit && pos < text.size())
                continue;
            FUZZ_CHECK(FindChar(text, ch, isLeadByte, from) == (hit ? pos : std::string::npos));
            from = pos + 1;
        }
    }
    FUZZ_CHECK(ContainsAnyChar(text, ":*?", isLeadByte) ==
               (HasChar(text, ':', isLeadByte) || HasChar(text, '*', isLeadByte) ||
                HasChar(text, '?', isLeadByte)));

    std::string replaced = text;
    ReplaceChar(replaced, '/', '\\', isLeadByte);
    FUZZ_CHECK(replaced.size() == text.size());
    FUZZ_CHECK(!HasChar(replaced, '/', isLeadByte));
    for (size_t pos = 0; pos < text.size(); ++pos) {
        const bool isSlash = starts[pos] && starts[pos + 1] && text[pos] == '/';
        FUZZ_CHECK(replaced[pos] == (isSlash ? '\\' : text[pos]));
    }
}

void CheckJoinAndTrim(const std::string& text, LeadByteTest isLeadByte) {
    // The input halves as folder and rest.
    const std::string folder = text.substr(0, text.size() / 2);
    const std::string rest = text.substr(text.size() / 2);
    const std::string joined = JoinFolder(folder, rest, isLeadByte);
    if (LastCharIs(folder, '\\', isLeadByte))
        FUZZ_CHECK(joined == folder + rest);
    else
        FUZZ_CHECK(joined == folder + "\\" + rest);

    const std::string trimmed = TrimWhiteSpace(text);
    const char* space = " \t\n\v\f\r";
    FUZZ_CHECK(text.find(trimmed) != std::string::npos);
    if (!trimmed.empty()) {
        FUZZ_CHECK(std::string(space).find(trimmed.front()) == std::string::npos);
        FUZZ_CHECK(std::string(space).find(trimmed.back()) == std::string::npos);
    } else {
        FUZZ_CHECK(text.find_first_not_of(space) == std::string::npos);
    }
    FUZZ_CHECK(TrimWhiteSpace(trimmed) == trimmed);
}

void CheckFolderLevels(const std::string& path, LeadByteTest isLeadByte) {
    const PathParts parts = SplitPath(path, isLeadByte);
    std::string folder = parts.folder;
    ReplaceChar(folder, '/', '\\', isLeadByte);
    const FolderLevels levels = SplitFolderLevels(parts.drive, folder, isLeadByte);

    std::string joined;
    for (size_t i = 0; i < levels.levels.size(); ++i) {
        FUZZ_CHECK(!HasChar(levels.levels[i], '\\', isLeadByte));
        joined += (i == 0 ? "" : "\\") + levels.levels[i];
    }
    // The levels are the folder's tail, between its leading backslashes (or
    // the server) and its trailing one.
    const std::string tail = LastCharIs(folder, '\\', isLeadByte) ? joined + "\\" : joined;
    FUZZ_CHECK(folder.size() >= tail.size());
    FUZZ_CHECK(folder.compare(folder.size() - tail.size(), tail.size(), tail) == 0);

    const bool network = folder.size() > 2 && folder.compare(0, 2, "\\\\") == 0;
    if (!network) {
        FUZZ_CHECK(levels.root == parts.drive);
    } else if (!levels.root.empty()) {
        FUZZ_CHECK(levels.root.compare(0, 2, "\\\\") == 0);
        FUZZ_CHECK(!HasChar(levels.root.substr(2), '\\', isLeadByte));
        FUZZ_CHECK(folder.compare(0, levels.root.size() + 1, levels.root + "\\") == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LeadByteTest isLeadByte = PickCodePage(data, size);
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckSplitPath(text, isLeadByte);
    CheckFindAndReplace(text, isLeadByte);
    CheckJoinAndTrim(text, isLeadByte);
    CheckFolderLevels(text, isLeadByte);
    return 0;
}
