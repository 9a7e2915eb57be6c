#include "launcher/command_line.h"

namespace {

bool IsSeparator(char ch) {
    return ch == ' ' || ch == '\t';
}

// Skips the program's own name; returns the position after it.
size_t SkipProgramName(const std::string& text, LeadByteTest isLeadByte) {
    size_t pos = 0;
    if (!text.empty() && text[0] == '"') {
        pos = 1;
        while (pos < text.size() && text[pos] != '"')
            pos += CharLengthAt(text, pos, isLeadByte);
        if (pos < text.size())
            ++pos;  // the closing quote
        return pos;
    }
    while (pos < text.size() && !IsSeparator(text[pos]))
        pos += CharLengthAt(text, pos, isLeadByte);
    return pos;
}

}  // namespace

std::vector<std::string> SplitCommandLineArguments(const std::string& text,
                                                   LeadByteTest isLeadByte) {
    std::vector<std::string> arguments;
    size_t pos = SkipProgramName(text, isLeadByte);
    const size_t end = text.size();
    for (;;) {
        while (pos < end && IsSeparator(text[pos]))
            ++pos;
        if (pos >= end)
            break;
        std::string argument;
        bool quoted = false;
        while (pos < end) {
            char ch = text[pos];
            if (IsSeparator(ch) && !quoted)
                break;
            if (ch == '\\') {
                size_t run = 0;
                while (pos < end && text[pos] == '\\') {
                    ++run;
                    ++pos;
                }
                if (pos < end && text[pos] == '"') {
                    argument.append(run / 2, '\\');
                    if (run % 2 == 1) {
                        argument += '"';
                        ++pos;
                    }
                } else {
                    argument.append(run, '\\');
                }
                continue;
            }
            if (ch == '"') {
                if (quoted && pos + 1 < end && text[pos + 1] == '"') {
                    argument += '"';
                    pos += 2;
                    quoted = false;
                } else {
                    quoted = !quoted;
                    ++pos;
                }
                continue;
            }
            size_t length = CharLengthAt(text, pos, isLeadByte);
            argument.append(text, pos, length);
            pos += length;
        }
        arguments.push_back(argument);
    }
    return arguments;
}

std::string ChooseForwardedArgument(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument.empty() || argument[0] == '-' || argument[0] == '/')
            continue;
        return argument;
    }
    return std::string();
}

std::string QuoteArgument(const std::string& argument, LeadByteTest isLeadByte) {
    bool needsQuotes = argument.empty();
    bool endsWithLoneLeadByte = false;
    for (size_t pos = 0; pos < argument.size();) {
        size_t length = CharLengthAt(argument, pos, isLeadByte);
        char ch = argument[pos];
        if (length == 1 && (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '"'))
            needsQuotes = true;
        if (length == 1 && pos + 1 == argument.size() &&
            isLeadByte(static_cast<unsigned char>(ch)))
            endsWithLoneLeadByte = true;
        pos += length;
    }
    if (!needsQuotes)
        return argument;

    std::string quoted = "\"";
    size_t backslashes = 0;
    for (size_t pos = 0; pos < argument.size();) {
        size_t length = CharLengthAt(argument, pos, isLeadByte);
        char ch = argument[pos];
        if (length == 1 && ch == '\\') {
            ++backslashes;
            quoted += '\\';
        } else if (length == 1 && ch == '"') {
            quoted.append(backslashes + 1, '\\');
            quoted += '"';
            backslashes = 0;
        } else {
            quoted.append(argument, pos, length);
            backslashes = 0;
        }
        pos += length;
    }
    if (!endsWithLoneLeadByte) {
        quoted.append(backslashes, '\\');
        quoted += '"';
    }
    return quoted;
}
