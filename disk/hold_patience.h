// Patience with files that other programs hold for a moment: a virus
// scanner, an indexer or a backup agent opens a file for a few milliseconds
// (often just after it was written), and a call on that file fails meanwhile
// with a sharing violation, a lock violation or access denied. Such a call
// is tried again after waits of 10, 20, 40 ms and so on, doubling up to a
// longest wait, a bounded number of times, and only while the waits of the
// whole operation stay within its budget.
#ifndef ORBEX_DISK_HOLD_PATIENCE_H_
#define ORBEX_DISK_HOLD_PATIENCE_H_

#include <windows.h>

class HoldPatience {
public:
    HoldPatience(DWORD budgetMs, int triesPerCall, DWORD longestWaitMs)
        : leftMs_(budgetMs), triesPerCall_(triesPerCall), longestWaitMs_(longestWaitMs) {}

    // More budget, for a phase that must not go without (an undo).
    void Extend(DWORD ms) { leftMs_ += ms; }

    // Waits before try `failedTries` + 1 of one call. False, at once, when
    // the call has had its tries or the wait would exceed the budget.
    bool WaitBeforeRetry(int failedTries) {
        if (failedTries < 1 || failedTries >= triesPerCall_)
            return false;
        const DWORD doubled = failedTries > 16 ? longestWaitMs_ : 10u << (failedTries - 1);
        const DWORD waitMs = doubled < longestWaitMs_ ? doubled : longestWaitMs_;
        if (waitMs > leftMs_)
            return false;
        Sleep(waitMs);
        leftMs_ -= waitMs;
        return true;
    }

private:
    DWORD leftMs_;
    const int triesPerCall_;
    const DWORD longestWaitMs_;
};

// The errors another program's open handle causes and its close ends.
inline bool IsPassingHold(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Calls `call` (true on success, else the error in GetLastError) until it
// succeeds, fails for a reason no wait can change, or patience runs out.
// 0, or the last try's error.
template <typename Call>
DWORD Patiently(HoldPatience& patience, Call call) {
    for (int failed = 1;; ++failed) {
        if (call())
            return 0;
        const DWORD error = GetLastError();
        if (!IsPassingHold(error) || !patience.WaitBeforeRetry(failed))
            return error;
    }
}

#endif  // ORBEX_DISK_HOLD_PATIENCE_H_
