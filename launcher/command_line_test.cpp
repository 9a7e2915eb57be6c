// Splitting, choosing and quoting the forwarded argument. Portable: runs as a
// Windows program under Wine and natively under the sanitizers.
#include "launcher/command_line.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

Args Split(const std::string& commandLine, LeadByteTest isLeadByte = NoLeadBytes) {
    return SplitCommandLineArguments(commandLine, isLeadByte);
}

TEST(SplitCommandLine, SeparatesOnRunsOfSpacesAndTabsOnly) {
    EXPECT_EQ(Split("app.exe"), Args{});
    EXPECT_EQ(Split("app.exe   "), Args{});
    EXPECT_EQ(Split("app.exe a  b\t\tc"), (Args{"a", "b", "c"}));
    EXPECT_EQ(Split("app.exe a\nb\vc"), (Args{"a\nb\vc"}));
}

TEST(SplitCommandLine, ProgramNameHasItsOwnRule) {
    // A quoted name ends at the next quote, backslashes plain, and the next
    // argument may follow at once.
    EXPECT_EQ(Split("\"C:\\My Apps\\\"next"), (Args{"next"}));
    EXPECT_EQ(Split("\"C:\\Apps\\app.exe\" x"), (Args{"x"}));
    EXPECT_EQ(Split("\"unclosed name x y"), Args{});
    // An unquoted name runs to the first space or tab, quotes and all.
    EXPECT_EQ(Split("C:\\a\"b c"), (Args{"c"}));
    EXPECT_EQ(Split(""), Args{});
}

TEST(SplitCommandLine, QuotedStretches) {
    EXPECT_EQ(Split("app \"C:\\My Pages\\a.htm\""), (Args{"C:\\My Pages\\a.htm"}));
    EXPECT_EQ(Split("app a\"b c\"d e"), (Args{"ab cd", "e"}));
    EXPECT_EQ(Split("app \"\" x"), (Args{"", "x"}));
    EXPECT_EQ(Split("app \"open to the end"), (Args{"open to the end"}));
    // "" inside a stretch gives one quote and ends the stretch.
    EXPECT_EQ(Split("app \"a\"\"b c\""), (Args{"a\"b", "c"}));
    EXPECT_EQ(Split("app \"a\"\" b\""), (Args{"a\"", "b"}));
}

TEST(SplitCommandLine, BackslashesCountOnlyBeforeAQuote) {
    EXPECT_EQ(Split("app a\\\\b\\"), (Args{"a\\\\b\\"}));
    EXPECT_EQ(Split("app a\\\\\"b c\""), (Args{"a\\b c"}));      // 2n: n and a real quote
    EXPECT_EQ(Split("app a\\\\\\\"b c"), (Args{"a\\\"b", "c"}));  // 2n+1: n and a literal quote
    EXPECT_EQ(Split("app \\\"x\\\""), (Args{"\"x\""}));
    EXPECT_EQ(Split("app \"C:\\dir\\\\\""), (Args{"C:\\dir\\"}));
}

TEST(SplitCommandLine, LeadByteTakesTheNextByteWithIt) {
    // 0x95 0x5C is one character in code page 932: its trail byte is no
    // backslash, so the quote after it closes the stretch.
    EXPECT_EQ(Split("app \"a b\x95\\\" c", CodePage932LeadByte), (Args{"a b\x95\\", "c"}));
    EXPECT_EQ(Split("app \"a b\x95\\\" c"), (Args{"a b\x95\" c"}));
    // A lead byte hides a separator or quote behind it.
    EXPECT_EQ(Split("app x\x81 y", CodePage932LeadByte), (Args{"x\x81 y"}));
    EXPECT_EQ(Split("app \x81\"z", CodePage932LeadByte), (Args{"\x81\"z"}));
    // A lead byte at the very end stands alone.
    EXPECT_EQ(Split("app x\x81", CodePage932LeadByte), (Args{"x\x81"}));
    EXPECT_EQ(Split("\"app\x81", CodePage932LeadByte), Args{});
}

TEST(ChooseForwardedArgument, FirstNonEmptyNonSwitchWins) {
    EXPECT_EQ(ChooseForwardedArgument(Split("app /p \"\" page.htm second")), "page.htm");
    EXPECT_EQ(ChooseForwardedArgument(Split("app")), "");
    EXPECT_EQ(ChooseForwardedArgument(Split("app -x")), "");
    EXPECT_EQ(ChooseForwardedArgument(Split("app / - x")), "x");
    EXPECT_EQ(ChooseForwardedArgument(Split("app \"-quoted switch\" y")), "y");
    EXPECT_EQ(ChooseForwardedArgument(Split("app \"C:\\My Pages\\a.htm\"")), "C:\\My Pages\\a.htm");
}

TEST(QuoteArgument, PlainArgumentsPassUnchanged) {
    EXPECT_EQ(QuoteArgument("C:\\docs\\page.htm", NoLeadBytes), "C:\\docs\\page.htm");
    EXPECT_EQ(QuoteArgument("http://x/?a=1&b=2", NoLeadBytes), "http://x/?a=1&b=2");
    EXPECT_EQ(QuoteArgument("C:\\dir\\", NoLeadBytes), "C:\\dir\\");
}

TEST(QuoteArgument, QuotesWhatWouldSplitOrInject) {
    EXPECT_EQ(QuoteArgument("C:\\My Pages\\a.htm", NoLeadBytes), "\"C:\\My Pages\\a.htm\"");
    EXPECT_EQ(QuoteArgument("http://x/ -some-switch", NoLeadBytes), "\"http://x/ -some-switch\"");
    EXPECT_EQ(QuoteArgument("C:\\My dir\\", NoLeadBytes), "\"C:\\My dir\\\\\"");
    EXPECT_EQ(QuoteArgument("say \\\"hi\"", NoLeadBytes), "\"say \\\\\\\"hi\\\"\"");
    EXPECT_EQ(QuoteArgument("", NoLeadBytes), "\"\"");
    // A trail byte 0x5C before the closing quote is not doubled.
    EXPECT_EQ(QuoteArgument("a b\x95\\", CodePage932LeadByte), "\"a b\x95\\\"");
}

TEST(QuoteArgument, SplittingTheQuotedTextGivesTheArgumentBack) {
    const LeadByteTest codePages[] = {NoLeadBytes, CodePage932LeadByte};
    const std::string arguments[] = {
        "plain", "two words", "tab\there", "line\nfeed", "vertical\vtab", "\"", "\"\"",
        "a\"b", "a\"\"b", "\\", "\\\\", "x\\", "x y\\", "x y\\\\", "\\\"", "a\\\\\"b",
        "C:\\My Pages\\a.htm", "http://x/ -some-switch", "-not-a-switch-inside", " lead",
        "trail ", "\x95\\", "a b\x95\\", "a b\x95\\\\", "\x81\"", "a b\x81", "\x81", "x\\\x81 y",
        "\x81 \x81", "end\\\x81"};
    for (LeadByteTest isLeadByte : codePages) {
        for (const std::string& argument : arguments) {
            std::string quoted = QuoteArgument(argument, isLeadByte);
            Args split = SplitCommandLineArguments("\"C:\\app.exe\" " + quoted, isLeadByte);
            ASSERT_EQ(split.size(), 1u) << "argument [" << argument << "] quoted [" << quoted << "]";
            EXPECT_EQ(split[0], argument) << "quoted [" << quoted << "]";
        }
    }
}

}  // namespace
