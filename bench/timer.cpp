// Times Windows programs from inside Wine, several contenders taking turns,
// and prints one line per round with the milliseconds of each.
//
//   bench_timer [--rounds N] CONTENDER [--next CONTENDER]...
//   CONTENDER:  [--until-started | --starts-main] COMMAND...
//
// A contender's run starts its command lines one after the other and waits
// for each to exit. With --until-started the run ends instead when the
// main-program stand-in (main_signal.cpp) reports that it runs; the started
// processes are still waited for afterwards, outside the measured time. With
// --starts-main the run ends when the commands exit, as without a mode, and
// then, outside the measured time, the stand-in's report is waited for: a
// hand-off that did not happen is a failure, and the main program of one run
// does not overlap the next run.
//
// Each round runs every contender once; the one that goes first moves on by
// one each round, so that no contender always runs first or always after the
// same other. The line lists the contenders' times in the order given.
//
// A failed run stops everything with a message on stderr and exit code 1: a
// command that cannot start, one that exits with a code other than 0, or a
// main program that does not report within 60 seconds. Its time would not be
// the time of the work. Children get NUL as standard handles, so their output
// costs nothing and holds no pipe open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_clock.h"

namespace {

const DWORD kMainProgramWaitMs = 60000;

enum class Mode { kUntilExit, kUntilStarted, kStartsMain };

struct Contender {
    Mode mode = Mode::kUntilExit;
    std::vector<std::string> commands;
};

HANDLE StartProgram(std::string commandLine, HANDLE nul) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "bench_timer: cannot start %s (error %lu)\n", commandLine.c_str(),
                     GetLastError());
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Waits for the process to end and closes it. False, with a message, when it
// ended with a code other than 0.
bool EndedWell(HANDLE process, const std::string& command) {
    WaitForSingleObject(process, INFINITE);
    DWORD code = 1;
    const bool known = GetExitCodeProcess(process, &code);
    const DWORD error = GetLastError();
    CloseHandle(process);
    if (known && code == 0)
        return true;
    if (known)
        std::fprintf(stderr, "bench_timer: %s failed: exit code %lu\n", command.c_str(), code);
    else
        std::fprintf(stderr, "bench_timer: no exit code from %s (error %lu)\n", command.c_str(),
                     error);
    return false;
}

bool MainProgramReported(HANDLE started, const Contender& contender) {
    if (WaitForSingleObject(started, kMainProgramWaitMs) == WAIT_OBJECT_0)
        return true;
    std::fprintf(stderr, "bench_timer: after %s the main program did not report within %lu s\n",
                 contender.commands.front().c_str(), kMainProgramWaitMs / 1000);
    return false;
}

// One run of the contender: its milliseconds, or a negative value when it
// failed (reported on stderr).
double Run(const Contender& contender, HANDLE started, HANDLE nul) {
    ResetEvent(started);
    std::vector<HANDLE> running;
    const double begin = NowMilliseconds();
    for (const std::string& command : contender.commands) {
        HANDLE process = StartProgram(command, nul);
        if (!process)
            return -1;
        if (contender.mode == Mode::kUntilStarted)
            running.push_back(process);
        else if (!EndedWell(process, command))
            return -1;
    }
    if (contender.mode == Mode::kUntilStarted && !MainProgramReported(started, contender))
        return -1;
    const double elapsed = NowMilliseconds() - begin;
    if (contender.mode == Mode::kStartsMain && !MainProgramReported(started, contender))
        return -1;
    bool ended = true;
    for (size_t i = 0; i < running.size(); ++i)
        ended = EndedWell(running[i], contender.commands[i]) && ended;
    return ended ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 1;
    std::vector<Contender> contenders(1);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--next") == 0)
            contenders.emplace_back();
        else if (std::strcmp(argv[i], "--until-started") == 0)
            contenders.back().mode = Mode::kUntilStarted;
        else if (std::strcmp(argv[i], "--starts-main") == 0)
            contenders.back().mode = Mode::kStartsMain;
        else
            contenders.back().commands.push_back(argv[i]);
    }
    bool usable = rounds >= 1;
    for (const Contender& contender : contenders)
        usable = usable && !contender.commands.empty();
    if (!usable) {
        std::fprintf(stderr,
                     "usage: bench_timer [--rounds N] CONTENDER [--next CONTENDER]...\n"
                     "       CONTENDER: [--until-started | --starts-main] COMMAND...\n");
        return 2;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE started = CreateEventA(nullptr, FALSE, FALSE, "OrbexBenchMainStarted");
    if (nul == INVALID_HANDLE_VALUE || !started) {
        std::fprintf(stderr, "bench_timer: cannot open NUL or make the event (error %lu)\n",
                     GetLastError());
        return 1;
    }

    const size_t count = contenders.size();
    std::vector<double> times(count);
    for (int round = 0; round < rounds; ++round) {
        for (size_t turn = 0; turn < count; ++turn) {
            const size_t which = (round + turn) % count;
            times[which] = Run(contenders[which], started, nul);
            if (times[which] < 0)
                return 1;
        }
        for (size_t which = 0; which < count; ++which)
            std::printf(which ? " %.3f" : "%.3f", times[which]);
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
