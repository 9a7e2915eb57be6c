// Process entry of the launcher: a GUI-subsystem program that never makes a
// window. It runs the application object once and always exits with 0.
#include <windows.h>

#include "launcher/launcher_app.h"

CLauncherApp theApp;

namespace {

// DLLs are loaded from the system folder only, never from the current
// directory (often the folder of the document being opened) or the program
// folder, so a DLL dropped there is never loaded by us or by what the shell
// loads for us. SetDefaultDllDirectories is looked up at run time: systems
// without it still start.
void RestrictDllSearch() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32) {
        auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
            reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
        if (setDefault)
            setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    SetDllDirectoryA("");
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    theApp.Start();
    return 0;
}
