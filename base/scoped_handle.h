// Owners of Win32 handles that are released by one call: a search handle
// (FindClose) and a file handle (CloseHandle). Not copyable, movable.
#ifndef ORBEX_BASE_SCOPED_HANDLE_H_
#define ORBEX_BASE_SCOPED_HANDLE_H_

#include <windows.h>

#include <utility>

template <BOOL(WINAPI* Close)(HANDLE)>
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (IsOpen())
            Close(handle_);
    }
    ScopedHandle(ScopedHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    ScopedHandle& operator=(ScopedHandle&&) = delete;
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    // Both FindFirstFileA and CreateFileA report failure as
    // INVALID_HANDLE_VALUE, not as a null handle.
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

using SearchHandle = ScopedHandle<FindClose>;
using FileHandle = ScopedHandle<CloseHandle>;

#endif  // ORBEX_BASE_SCOPED_HANDLE_H_
