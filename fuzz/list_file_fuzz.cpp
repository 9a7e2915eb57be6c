// Reads arbitrary bytes as a version list or journal, as the launcher reads
// them from disk, and checks every path it would accept.
#include <string>

#include "fuzz/fuzz_check.h"
#include "update/list_file.h"
#include "update/update_names.h"
#include "update/update_status.h"

namespace {

// What an accepted path can never hold, checked by a walk of its own.
void CheckAcceptedPath(const std::string& path) {
    FUZZ_CHECK(!path.empty() && path[0] != '\\');
    FUZZ_CHECK(path.find("\\\\") == std::string::npos);
    FUZZ_CHECK(path.find_first_of(":*?\"<>|/") == std::string::npos);
    std::string names = path.back() == '\\' ? path.substr(0, path.size() - 1) : path;
    size_t start = 0;
    for (bool first = true;; first = false) {
        const size_t end = names.find('\\', start);
        const std::string name = names.substr(start, end - start);
        FUZZ_CHECK(!name.empty() && name != "." && name != "..");
        FUZZ_CHECK(name.back() != '.' && name.back() != ' ');
        for (unsigned char ch : name)
            FUZZ_CHECK(ch >= 0x20 && ch != 0x7F);
        if (first) {
            std::string lower;
            for (char ch : name)
                lower += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
            FUZZ_CHECK(lower != "update" && lower.compare(0, 7, "update.") != 0 &&
                       lower.compare(0, 7, "update~") != 0);
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string header = "Orbex version list 1";
    StringList records, afterEnd;
    const bool whole = ParseListFile(text, header, records, afterEnd);
    if (!whole)
        return 0;
    for (const std::string& record : records) {
        FUZZ_CHECK(record.find('\n') == std::string::npos && record != "*end");
        if (IsInstallationPath(record))
            CheckAcceptedPath(record);
        // A record with sizes and digests reads back the same once written.
        VersionEntry entry, again;
        if (ParseVersionRecord(record, true, entry)) {
            FUZZ_CHECK(ParseVersionRecord(FormatVersionRecord(entry), true, again));
            FUZZ_CHECK(again.path == entry.path && again.hasDigest == entry.hasDigest &&
                       again.staged == entry.staged && again.size == entry.size &&
                       again.digest == entry.digest);
        }
        // A status line stays one line whatever the path holds.
        UpdateStatus status;
        status.state = UpdateState::kWaiting;
        status.reason = UpdateReason::kInUse;
        status.path = record;
        const std::string line = FormatStatusLine(status);
        FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
    }
    // What was read is written back to the same records.
    StringList again, afterAgain;
    FUZZ_CHECK(ParseListFile(FormatListFile(header, records), header, again, afterAgain));
    FUZZ_CHECK(again == records && afterAgain.empty());
    return 0;
}
