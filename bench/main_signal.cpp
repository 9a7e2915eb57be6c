// Stands in for the main program in the benchmarks: tells the timer that it
// runs (the named event the timer waits on), then exits.
//
// With the argument "hold" it stays running instead, as the application does
// while the user works: it deletes "hold.starting" from its working folder
// once it runs (the script waits for that), and exits once "hold.flag" is no
// longer there.
#include <windows.h>

#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    if (std::strcmp(commandLine, "hold") == 0) {
        DeleteFileA("hold.starting");
        while (GetFileAttributesA("hold.flag") != INVALID_FILE_ATTRIBUTES)
            Sleep(50);
        return 0;
    }
    HANDLE started = OpenEventA(EVENT_MODIFY_STATE, FALSE, "OrbexBenchMainStarted");
    if (started) {
        SetEvent(started);
        CloseHandle(started);
    }
    return 0;
}
