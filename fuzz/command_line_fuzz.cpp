// Splits arbitrary command lines and chooses the forwarded argument.
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "launcher/command_line.h"

namespace {

bool HasAnyLeadByte(const std::string& text, LeadByteTest isLeadByte) {
    for (char ch : text) {
        if (isLeadByte(static_cast<unsigned char>(ch)))
            return true;
    }
    return false;
}

// With no quote, backslash or lead byte, splitting is cutting at runs of
// spaces and tabs, the first word being the program's name.
std::vector<std::string> PlainWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool any = false;
    for (char ch : text) {
        if (ch == ' ' || ch == '\t') {
            if (any)
                words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += ch;
            any = true;
        }
    }
    if (any)
        words.push_back(word);
    if (!words.empty() && !(text[0] == ' ' || text[0] == '\t'))
        words.erase(words.begin());
    return words;
}

// The splitting rules written a second way, one character at a time with
// the pending backslashes counted, so that a change to either side shows.
std::vector<std::string> ReferenceSplit(const std::string& text, LeadByteTest isLeadByte) {
    const size_t end = text.size();
    auto length = [&](size_t pos) {
        return isLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < end ? 2 : 1;
    };
    size_t pos = 0;
    if (end > 0 && text[0] == '"') {
        for (pos = 1; pos < end && text[pos] != '"'; pos += length(pos)) {
        }
        pos = pos < end ? pos + 1 : pos;
    } else {
        for (; pos < end && text[pos] != ' ' && text[pos] != '\t'; pos += length(pos)) {
        }
    }

    std::vector<std::string> arguments;
    std::string current;
    bool started = false;
    bool quoted = false;
    size_t backslashes = 0;
    while (pos < end) {
        const char ch = text[pos];
        if (ch == '\\') {
            ++backslashes;
            ++pos;
            continue;
        }
        if (ch == '"') {
            current.append(backslashes / 2, '\\');
            started = true;
            const bool escaped = backslashes % 2 == 1;
            backslashes = 0;
            if (escaped) {
                current += '"';
                ++pos;
            } else if (quoted && pos + 1 < end && text[pos + 1] == '"') {
                current += '"';
                quoted = false;
                pos += 2;
            } else {
                quoted = !quoted;
                ++pos;
            }
            continue;
        }
        current.append(backslashes, '\\');
        started = started || backslashes > 0;
        backslashes = 0;
        if ((ch == ' ' || ch == '\t') && !quoted) {
            if (started)
                arguments.push_back(current);
            current.clear();
            started = false;
            ++pos;
            continue;
        }
        current.append(text, pos, length(pos));
        started = true;
        pos += length(pos);
    }
    current.append(backslashes, '\\');
    if (started || backslashes > 0)
        arguments.push_back(current);
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LeadByteTest isLeadByte = PickCodePage(data, size);
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::vector<std::string> arguments = SplitCommandLineArguments(text, isLeadByte);

    FUZZ_CHECK(arguments == ReferenceSplit(text, isLeadByte));

    size_t total = 0;
    for (const std::string& argument : arguments)
        total += argument.size();
    FUZZ_CHECK(total <= text.size());

    const bool hasQuote = text.find('"') != std::string::npos;
    const bool hasBackslash = text.find('\\') != std::string::npos;
    const bool hasLeadByte = HasAnyLeadByte(text, isLeadByte);

    if (!hasQuote) {
        for (const std::string& argument : arguments) {
            FUZZ_CHECK(!argument.empty());
            if (!hasLeadByte)
                FUZZ_CHECK(argument.find_first_of(" \t") == std::string::npos);
        }
    }
    if (!hasQuote && !hasBackslash && !hasLeadByte)
        FUZZ_CHECK(arguments == PlainWords(text));
    // A lead-byte table only matters where a lead byte occurs.
    if (!hasLeadByte)
        FUZZ_CHECK(arguments == SplitCommandLineArguments(text, NoLeadBytes));

    // Quoting each argument and splitting again gives the same arguments:
    // the launcher's quoting and its splitting agree on every argument the
    // splitting can produce.
    std::string rebuilt = "\"C:\\app.exe\"";
    for (const std::string& argument : arguments)
        rebuilt += " " + QuoteArgument(argument, isLeadByte);
    FUZZ_CHECK(SplitCommandLineArguments(rebuilt, isLeadByte) == arguments);

    const std::string chosen = ChooseForwardedArgument(arguments);
    size_t first = 0;
    while (first < arguments.size() &&
           (arguments[first].empty() || arguments[first][0] == '-' || arguments[first][0] == '/'))
        ++first;
    if (first == arguments.size()) {
        FUZZ_CHECK(chosen.empty());
    } else {
        FUZZ_CHECK(chosen == arguments[first]);
        FUZZ_CHECK(!chosen.empty() && chosen[0] != '-' && chosen[0] != '/');
    }
    return 0;
}
