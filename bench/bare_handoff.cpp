// The floor for the launcher's hand-off: only the platform calls it needs.
// Loads shell32.dll from the system folder at run time, as the launcher does,
// asks it to "open" the main program with the given parameters and working
// folder, and exits. No command-line parsing of its own, no update check, no
// path checks.
//
//   bare_handoff PROGRAM WORKING_FOLDER [PARAMETERS]
//
// Exit code 0 when the shell reports the program started, 1 when not.
#include <windows.h>

#include <stdlib.h>  // __argc, __argv

typedef HINSTANCE(WINAPI* ShellExecuteAFunction)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc != 3 && __argc != 4)
        return 2;
    HMODULE shell32 = LoadLibraryExA("shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!shell32)
        return 1;
    auto shellExecute = reinterpret_cast<ShellExecuteAFunction>(
        reinterpret_cast<void*>(GetProcAddress(shell32, "ShellExecuteA")));
    if (!shellExecute)
        return 1;
    HINSTANCE started = shellExecute(nullptr, "open", __argv[1], __argc == 4 ? __argv[3] : nullptr,
                                     __argv[2], SW_SHOW);
    return reinterpret_cast<INT_PTR>(started) > 32 ? 0 : 1;
}
