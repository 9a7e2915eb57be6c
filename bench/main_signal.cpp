// Stands in for the main program in the benchmarks: tells the timer that it
// runs (the named event the timer waits on), then exits.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    HANDLE started = OpenEventA(EVENT_MODIFY_STATE, FALSE, "OrbexBenchMainStarted");
    if (started) {
        SetEvent(started);
        CloseHandle(started);
    }
    return 0;
}
