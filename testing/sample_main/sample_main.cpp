// The sample main program of a test or demo installation. Started by the
// launcher, it appends one line to handoff.log in its own folder:
//   version=N<TAB>cwd=<working directory><TAB>cmdline=<raw command line><TAB>1=<argv[1]>...
// with the arguments as its C runtime split them, then what a Unicode program
// receives, in UTF-8, after the code page it runs in:
//   <TAB>acp=<GetACP()><TAB>wcwd=<wide working directory><TAB>w1=<CommandLineToArgvW argument 1>...
// The narrow fields are in that code page, which may not spell every
// name ('?' where it cannot); the wide ones carry every character. Control
// characters are written as \xNN so that a line stays one line. The log is
// found through the wide module file name, so any folder name works.
// It also records update=1 when its folder's update\ was there as it started
// (a launcher handed off before its update was complete), update=0 otherwise.
// An argument "wait:NAME" makes it hold a mutex NAME-alive and stay running
// until the event NAME is set (at most a minute): a test can then see that
// the launcher ended while the main program still runs. An argument
// "hold:PATH" keeps it running while the file PATH exists (at most two
// minutes), for a script that cannot set an event.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#ifndef ORBEX_SAMPLE_VERSION
#define ORBEX_SAMPLE_VERSION 1
#endif

static std::string Escaped(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F) {
            const char* digits = "0123456789ABCDEF";
            out += "\\x";
            out += digits[*p >> 4];
            out += digits[*p & 15];
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

static std::string Utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return std::string();
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(size - 1);
    return out;
}

// The platform's longest path, 32,767 UTF-16 units, in the system code page
// (up to two bytes a unit in a double-byte code page), with the terminator.
static const DWORD kLongestPath = 32768;

// The program's own folder, ending with a backslash, through the wide module
// file name, so any folder name works.
static std::wstring OwnFolder() {
    std::vector<wchar_t> module(kLongestPath);
    DWORD length = GetModuleFileNameW(nullptr, module.data(), kLongestPath);
    std::wstring path(module.data(), length < kLongestPath ? length : 0);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Asked first thing, before anything else could have finished the update.
    const std::wstring folder = OwnFolder();
    const bool updatePresent = GetFileAttributesW((folder + L"update").c_str()) != INVALID_FILE_ATTRIBUTES;
    std::vector<char> buffer(2 * kLongestPath);
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    std::string line = "version=" + std::to_string(ORBEX_SAMPLE_VERSION) +
                       "\tcwd=" + std::string(buffer.data(), length < buffer.size() ? length : 0) +
                       "\tcmdline=" + Escaped(GetCommandLineA());
    std::string waitName, holdFile;
    for (int i = 1; i < __argc; ++i) {
        line += "\t" + std::to_string(i) + "=" + Escaped(__argv[i]);
        if (std::string(__argv[i]).rfind("wait:", 0) == 0)
            waitName = __argv[i] + 5;
        if (std::string(__argv[i]).rfind("hold:", 0) == 0)
            holdFile = __argv[i] + 5;
    }
    line += "\tacp=" + std::to_string(GetACP());
    std::vector<wchar_t> wideBuffer(kLongestPath);
    length = GetCurrentDirectoryW(kLongestPath, wideBuffer.data());
    line += "\twcwd=" + Escaped(Utf8(length < kLongestPath ? wideBuffer.data() : L"").c_str());
    int wideCount = 0;
    LPWSTR* wideArguments = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    for (int i = 1; wideArguments && i < wideCount; ++i)
        line += "\tw" + std::to_string(i) + "=" + Escaped(Utf8(wideArguments[i]).c_str());
    LocalFree(wideArguments);

    HANDLE alive = nullptr;
    if (!waitName.empty())
        alive = CreateMutexA(nullptr, TRUE, (waitName + "-alive").c_str());
    line += updatePresent ? "\tupdate=1" : "\tupdate=0";
    line += "\r\n";

    // One writer at a time: several main programs started together append
    // at once, and an append is a seek to the end and a write, so shared
    // writers can overwrite each other's line. A reader gives way at once.
    const std::wstring log = folder + L"handoff.log";
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 500 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileW(log.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            Sleep(10);
    }
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }
    if (alive) {
        HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, waitName.c_str());
        if (release) {
            WaitForSingleObject(release, 60000);
            CloseHandle(release);
        }
        CloseHandle(alive);
    }
    for (int tick = 0; !holdFile.empty() && tick < 1200 &&
                       GetFileAttributesA(holdFile.c_str()) != INVALID_FILE_ATTRIBUTES;
         ++tick)
        Sleep(100);
    return 0;
}
