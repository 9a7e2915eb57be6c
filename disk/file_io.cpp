#include "disk/file_io.h"

#include <windows.h>

#include "base/ansi_string.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

DWORD FlushHandle(HANDLE file) {
    return FlushFileBuffers(file) ? 0 : GetLastError();
}

DWORD WriteAndFlush(HANDLE file, const std::string& content) {
    size_t written = 0;
    while (written < content.size()) {
        const DWORD chunk = static_cast<DWORD>(
            content.size() - written < 0x10000000 ? content.size() - written : 0x10000000);
        DWORD done = 0;
        if (!WriteFile(file, content.data() + written, chunk, &done, nullptr))
            return GetLastError();
        if (done == 0)
            return ERROR_WRITE_FAULT;
        written += done;
    }
    return FlushHandle(file);
}

}  // namespace

unsigned long FlushFileToDisk(const std::string& path) {
    FileHandle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.IsOpen())
        return FlushHandle(file.get());
    const DWORD code = GetLastError();
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (code != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        !(attributes & FILE_ATTRIBUTE_READONLY))
        return code;
    if (!SetFileAttributesA(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY))
        return GetLastError();
    FileHandle writable(
        CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD result = writable.IsOpen() ? FlushHandle(writable.get()) : GetLastError();
    SetFileAttributesA(path.c_str(), attributes);
    return result;
}

unsigned long FlushFolderToDisk(const std::string& folder) {
    std::string path = folder;
    // A trail byte 0x5C is not a backslash; a drive's root keeps its own.
    if (path.size() > 3 && LastCharIs(path, '\\', IsSystemLeadByte))
        path.pop_back();
    FileHandle handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.IsOpen())
        return GetLastError();
    return FlushHandle(handle.get());
}

bool ReadWholeFile(const std::string& path, std::string& content, unsigned long& errorCode,
                   size_t maxBytes) {
    content.clear();
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsOpen()) {
        errorCode = GetLastError();
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size)) {
        errorCode = GetLastError();
        return false;
    }
    if (static_cast<unsigned long long>(size.QuadPart) > maxBytes) {
        errorCode = ERROR_FILE_TOO_LARGE;
        return false;
    }
    content.resize(static_cast<size_t>(size.QuadPart));
    size_t read = 0;
    while (read < content.size()) {
        DWORD done = 0;
        if (!ReadFile(file.get(), &content[read], static_cast<DWORD>(content.size() - read), &done,
                      nullptr)) {
            errorCode = GetLastError();
            return false;
        }
        if (done == 0)
            break;
        read += done;
    }
    content.resize(read);
    return true;
}

unsigned long WriteFileThrough(const std::string& path, const std::string& content, bool append) {
    FileHandle file(CreateFileA(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, 0, nullptr,
                                append ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file.IsOpen())
        return GetLastError();
    return WriteAndFlush(file.get(), content);
}
