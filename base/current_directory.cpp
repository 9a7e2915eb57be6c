#include "base/current_directory.h"

#include <windows.h>

#include <vector>

std::string CurrentDirectory(unsigned long* errorCode) {
    std::vector<char> buffer(MAX_PATH);
    // A buffer too small gives the size needed (terminator included). The
    // directory may change between two calls, hence the loop.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            if (errorCode)
                *errorCode = GetLastError();
            return std::string();
        }
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(length + 1);
    }
    if (errorCode)
        *errorCode = ERROR_INSUFFICIENT_BUFFER;
    return std::string();
}
