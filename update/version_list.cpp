#include "update/version_list.h"

#include "base/system_code_page.h"
#include "disk/file_io.h"
#include "update/list_file.h"
#include "update/update_names.h"

namespace {

// Far above any real installation's list or journal; a larger file is not one.
const size_t kLargestList = 256u << 20;

}  // namespace

unsigned long WriteVersionList(const std::string& path, const VersionEntries& entries) {
    StringList records;
    records.reserve(entries.size());
    for (const VersionEntry& entry : entries) {
        VersionEntry utf8 = entry;
        utf8.path = SystemToUtf8(entry.path);
        records.push_back(FormatVersionRecord(utf8));
    }
    return WriteFileThrough(path, FormatListFile(kVersionListHeader2, records));
}

bool ReadListFileAt(const std::string& path, const char* header, StringList& records,
                    StringList& afterEnd) {
    std::string text;
    unsigned long error = 0;
    return ReadWholeFile(path, text, error, kLargestList) &&
           ParseListFile(text, header, records, afterEnd);
}

namespace {

// The records of a version list of either format; `withDigests` for format 2.
bool ReadVersionRecords(const std::string& path, StringList& records, bool& withDigests) {
    std::string text;
    unsigned long error = 0;
    if (!ReadWholeFile(path, text, error, kLargestList))
        return false;
    StringList afterEnd;
    const size_t headerSize = std::char_traits<char>::length(kVersionListHeader2);
    withDigests = text.compare(0, headerSize, kVersionListHeader2) == 0 &&
                  text.size() > headerSize && (text[headerSize] == '\r' || text[headerSize] == '\n');
    return ParseListFile(text, withDigests ? kVersionListHeader2 : kVersionListHeader1, records,
                         afterEnd);
}

}  // namespace

bool EntryFromList(const std::string& record, std::string& entry) {
    return IsInstallationPath(record) && Utf8ToSystem(record, entry);
}

bool ReadVersionList(const std::string& path, VersionEntries& entries, bool* claimsDigests) {
    entries.clear();
    StringList records;
    bool withDigests = false;
    const bool read = ReadVersionRecords(path, records, withDigests);
    if (claimsDigests)
        *claimsDigests = withDigests;
    if (!read)
        return false;
    entries.reserve(records.size());
    for (const std::string& record : records) {
        VersionEntry entry;
        std::string path;
        if (!ParseVersionRecord(record, withDigests, entry) || !EntryFromList(entry.path, path)) {
            entries.clear();
            return false;
        }
        entry.path = std::move(path);
        entries.push_back(std::move(entry));
    }
    return true;
}
