#include "launcher/launcher_app.h"

#include <windows.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <new>

#include "base/system_code_page.h"
#include "launcher/command_line.h"
#include "update/apply_update.h"

const char kDataFolderName[] = "OrbexData\\";

namespace {

// The longest module file name in bytes: the platform's 32,767 UTF-16 units,
// three bytes each in UTF-8, and the terminator.
const DWORD kLongestModuleFileName = 3 * 32767 + 1;

// The buffer is sized for the longest name at once, because a short buffer
// is not reliably reported:
//   GetModuleFileNameA, name too long for the buffer
//   Windows      returns the buffer size (from Vista on with
//                ERROR_INSUFFICIENT_BUFFER; no terminator on XP)
//   Wine 8       returns what fitted, cut before a character that did not fit
//                whole: under UTF-8 up to 3 bytes below the buffer size,
//                terminated, like a complete name
// Empty when the name cannot be obtained whole.
std::string ModuleFileName() {
    std::string buffer(kLongestModuleFileName, '\0');
    const DWORD length = GetModuleFileNameA(nullptr, &buffer[0], kLongestModuleFileName);
    if (length == 0 || length >= kLongestModuleFileName)
        return std::string();
    buffer.resize(length);
    return buffer;
}

}  // namespace

std::string GetProgramFolder() {
    try {
        const std::string fileName = ModuleFileName();
        // The platform's path limit, counted as the platform counts: 260
        // UTF-16 units, however many bytes the system code page spends on
        // them. The A calls that follow would refuse a longer layout part by
        // part; refusing here keeps the run from doing half of it.
        if (fileName.empty() || Utf16Length(fileName) >= MAX_PATH)
            return std::string();
        // A trail byte 0x5C is not a backslash: find the last real one.
        size_t lastBackslash = std::string::npos;
        for (size_t pos = 0; pos < fileName.size();
             pos += CharLengthAt(fileName, pos, IsSystemLeadByte)) {
            if (fileName[pos] == '\\')
                lastBackslash = pos;
        }
        return lastBackslash == std::string::npos ? std::string()
                                                  : fileName.substr(0, lastBackslash + 1);
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

bool PathExists(const std::string& path) {
    std::string statPath = path;
    if (LastCharIs(statPath, '\\', IsSystemLeadByte))
        statPath.pop_back();
    struct _stat status;
    return _stat(statPath.c_str(), &status) == 0;
}

bool ApplyPendingUpdate(const std::string& dataFolder) {
    return ApplyStagedUpdate(dataFolder).outcome != ApplyOutcome::kUnfinished;
}

namespace {

typedef HINSTANCE(WINAPI* ShellExecuteAFunction)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);

// shell32.dll from the system folder, loaded only now that the DLL search is
// restricted: as a static import it and what it imports would be loaded
// before the process entry, with the search order that starts in the program
// folder. LOAD_LIBRARY_SEARCH_SYSTEM32 is refused (invalid parameter) by
// systems without the restricted search; they get the full path instead.
HMODULE LoadShell32() {
    HMODULE module = LoadLibraryExA("shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module)
        return module;
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    return LoadLibraryExA((std::string(folder, length) + "\\shell32.dll").c_str(), nullptr, 0);
}

// Asks the shell to "open" the program. A shell that cannot be loaded starts
// nothing, as a failed hand-off does.
void OpenWithShell(const std::string& program, const std::string& parameters,
                   const std::string& workingDirectory) {
    // Never freed: the shell may leave work of its own running on its
    // threads, and the process ends right after.
    HMODULE shell32 = LoadShell32();
    if (!shell32)
        return;
    auto shellExecute = reinterpret_cast<ShellExecuteAFunction>(
        reinterpret_cast<void*>(GetProcAddress(shell32, "ShellExecuteA")));
    if (shellExecute)
        shellExecute(nullptr, "open", program.c_str(),
                     parameters.empty() ? nullptr : parameters.c_str(), workingDirectory.c_str(),
                     SW_SHOW);
}

}  // namespace

bool CLauncherApp::Start() {
    try {
        std::string forwarded =
            ChooseForwardedArgument(SplitCommandLineArguments(GetCommandLineA(), IsSystemLeadByte));
        std::string programFolder = GetProgramFolder();
        if (programFolder.empty())
            return false;
        std::string dataFolder = programFolder + kDataFolderName;
        std::string updateFolder = dataFolder + kUpdateFolderName;

        // A journal is an apply that an earlier run left cut short.
        if ((PathExists(updateFolder) || PathExists(dataFolder + kJournalName)) &&
            !ApplyPendingUpdate(dataFolder))
            return false;

        std::string mainProgram = dataFolder + kMainProgramName;
        std::string parameters;
        if (!forwarded.empty())
            parameters = QuoteArgument(forwarded, IsSystemLeadByte);
        OpenWithShell(mainProgram, parameters, dataFolder);
    } catch (...) {
        // Out of memory: end quietly, without the hand-off.
    }
    return false;
}
