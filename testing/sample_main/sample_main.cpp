// The sample main program of a test or demo installation. Started by the
// launcher, it appends one line to handoff.log in its own folder:
//   version=N<TAB>cwd=<working directory><TAB>cmdline=<raw command line><TAB>1=<argv[1]>...
// with the arguments as its C runtime split them. Control characters are
// written as \xNN so that a line stays one line.
// It also records update=1 when its folder's update\ was there as it started
// (a launcher handed off before its update was complete), update=0 otherwise.
// An argument "wait:NAME" makes it hold a mutex NAME-alive and stay running
// until the event NAME is set (at most a minute): a test can then see that
// the launcher ended while the main program still runs.
#include <windows.h>

#include <string>

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

// Asked first thing, before anything else could have finished the update.
static bool UpdateFolderPresent() {
    char module[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
    std::string folder(module, length < MAX_PATH ? length : 0);
    std::string update = folder.substr(0, folder.find_last_of('\\') + 1) + "update";
    return GetFileAttributesA(update.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const bool updatePresent = UpdateFolderPresent();
    char buffer[32768];
    DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
    std::string line = "version=" + std::to_string(ORBEX_SAMPLE_VERSION) +
                       "\tcwd=" + std::string(buffer, length < sizeof buffer ? length : 0) +
                       "\tcmdline=" + Escaped(GetCommandLineA());
    std::string waitName;
    for (int i = 1; i < __argc; ++i) {
        line += "\t" + std::to_string(i) + "=" + Escaped(__argv[i]);
        if (std::string(__argv[i]).rfind("wait:", 0) == 0)
            waitName = __argv[i] + 5;
    }
    HANDLE alive = nullptr;
    if (!waitName.empty())
        alive = CreateMutexA(nullptr, TRUE, (waitName + "-alive").c_str());
    line += updatePresent ? "\tupdate=1" : "\tupdate=0";
    line += "\r\n";

    length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    std::string log(buffer, length < sizeof buffer ? length : 0);
    log = log.substr(0, log.find_last_of('\\') + 1) + "handoff.log";
    HANDLE file = CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    return 0;
}
