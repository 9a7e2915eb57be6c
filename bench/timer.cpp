// Times Windows programs from inside Wine and prints one line per run with
// the milliseconds it took.
//
//   bench_timer [--repeat N] [--until-started] COMMAND...
//
// Each run starts the command lines one after the other and waits for each
// to exit. With --until-started the run ends instead when the main-program
// stand-in (main_signal.cpp) reports that it runs; the started process is
// still waited for afterwards, outside the measured time. Children get NUL
// as standard handles, so their output costs nothing and holds no pipe open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_clock.h"

namespace {

HANDLE StartProgram(std::string commandLine, HANDLE nul) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "cannot start %s (error %lu)\n", commandLine.c_str(), GetLastError());
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 1;
    bool untilStarted = false;
    std::vector<std::string> commands;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--until-started") == 0)
            untilStarted = true;
        else
            commands.push_back(argv[i]);
    }
    if (commands.empty() || repeat < 1) {
        std::fprintf(stderr, "usage: bench_timer [--repeat N] [--until-started] COMMAND...\n");
        return 2;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE started = CreateEventA(nullptr, FALSE, FALSE, "OrbexBenchMainStarted");

    for (int run = 0; run < repeat; ++run) {
        ResetEvent(started);
        std::vector<HANDLE> processes;
        double begin = NowMilliseconds();
        double elapsed = 0;
        for (const std::string& command : commands) {
            HANDLE process = StartProgram(command, nul);
            if (!process)
                return 1;
            processes.push_back(process);
            if (!untilStarted)
                WaitForSingleObject(process, INFINITE);
        }
        if (untilStarted && WaitForSingleObject(started, 60000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "the main program did not report within 60 s\n");
            return 1;
        }
        elapsed = NowMilliseconds() - begin;
        for (HANDLE process : processes) {
            WaitForSingleObject(process, INFINITE);
            CloseHandle(process);
        }
        std::printf("%.3f\n", elapsed);
        std::fflush(stdout);
    }
    return 0;
}
