#include "update/version_list.h"

#include "base/system_code_page.h"
#include "disk/file_io.h"
#include "update/list_file.h"
#include "update/update_names.h"

namespace {

const char kVersionListHeader[] = "Orbex version list 1";
// Far above any real installation's list or journal; a larger file is not one.
const size_t kLargestList = 256u << 20;

}  // namespace

unsigned long WriteVersionList(const std::string& path, const StringList& entries) {
    StringList records;
    records.reserve(entries.size());
    for (const std::string& entry : entries)
        records.push_back(SystemToUtf8(entry));
    return WriteFileThrough(path, FormatListFile(kVersionListHeader, records));
}

bool ReadListFileAt(const std::string& path, const char* header, StringList& records,
                    StringList& afterEnd) {
    std::string text;
    unsigned long error = 0;
    return ReadWholeFile(path, text, error, kLargestList) &&
           ParseListFile(text, header, records, afterEnd);
}

bool EntryFromList(const std::string& record, std::string& entry) {
    return IsInstallationPath(record) && Utf8ToSystem(record, entry);
}

bool ReadVersionList(const std::string& path, StringList& entries) {
    entries.clear();
    StringList records, afterEnd;
    if (!ReadListFileAt(path, kVersionListHeader, records, afterEnd))
        return false;
    entries.reserve(records.size());
    for (const std::string& record : records) {
        std::string entry;
        if (!EntryFromList(record, entry)) {
            entries.clear();
            return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}
