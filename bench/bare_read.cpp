// The floor for staging only what changed when the installed version's list
// holds each file's hash: every byte of the source read once. One
// FindFirstFileA walk of the source, then each file opened and read to its
// end in 64 KiB reads. No hashing, no comparison, nothing written.
//
//   bare_read SOURCE_FOLDER   (ending with a backslash)
//
// Exit code 0 when every file was read to its end, 1 when not, 2 for wrong
// arguments.
#include <windows.h>

#include <stdlib.h>  // __argc, __argv

#include <string>
#include <vector>

#include "bench/bare_tree.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc != 2)
        return 2;
    const std::string source = __argv[1];
    BareTree tree;
    WalkBareTree(source, "", tree);
    std::vector<char> buffer(64 * 1024);
    bool read = !tree.files.empty();
    for (const std::string& file : tree.files) {
        HANDLE handle = CreateFileA((source + file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            read = false;
            continue;
        }
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                read = false;
                break;
            }
            if (got == 0)
                break;
        }
        CloseHandle(handle);
    }
    return read ? 0 : 1;
}
