// Quotes an arbitrary argument and splits the result again.
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "launcher/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LeadByteTest isLeadByte = PickCodePage(data, size);
    const std::string argument(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> alone{argument};

    const std::string quoted = QuoteArgument(argument, isLeadByte);

    // Both forms of the program's name the main program may be started with.
    FUZZ_CHECK(SplitCommandLineArguments("\"C:\\app.exe\" " + quoted, isLeadByte) == alone);
    FUZZ_CHECK(SplitCommandLineArguments("app.exe\t" + quoted, isLeadByte) == alone);

    bool plain = !argument.empty();
    for (char ch : {' ', '\t', '\n', '\v', '"'})
        plain = plain && !HasChar(argument, ch, isLeadByte);
    if (plain) {
        FUZZ_CHECK(quoted == argument);
    } else {
        FUZZ_CHECK(!quoted.empty() && quoted[0] == '"');
        // Each byte at most doubled, plus the two quotes.
        FUZZ_CHECK(quoted.size() <= 2 * argument.size() + 2);
    }

    // Unless the quoted stretch is left open on purpose, the argument ends
    // where its text ends and whatever follows is an argument of its own.
    const std::vector<char> starts = CharStarts(argument, isLeadByte);
    const bool endsWithLoneLeadByte =
        !argument.empty() && starts[argument.size() - 1] &&
        isLeadByte(static_cast<unsigned char>(argument.back()));
    if (!endsWithLoneLeadByte) {
        const std::vector<std::string> pair{argument, "-x"};
        FUZZ_CHECK(SplitCommandLineArguments("app.exe " + quoted + " -x", isLeadByte) == pair);
    }
    return 0;
}
