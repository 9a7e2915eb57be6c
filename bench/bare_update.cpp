// The floor for applying an update from a Windows program: only the platform
// calls the result needs. One FindFirstFileA walk of the staged tree,
// CreateDirectoryA of each target folder (an existing one just fails), one
// CopyFileA per file and a FlushFileBuffers of the copy (the staged tree may
// go only once the copies are on disk), then DeleteFileA of each file and
// RemoveDirectoryA of each folder, deepest first. No sorting, no checks, no
// error texts. --no-flush leaves the flush out: the same copy with the
// writing-back left to the system, which a power cut can lose.
//
//   bare_update [--no-flush] STAGED_FOLDER TARGET_FOLDER   (folders ending with a backslash)
//
// Exit code 0 when everything was copied and the staged tree is gone, 1 when
// not, 2 for wrong arguments.
#include <windows.h>

#include <stdlib.h>  // __argc, __argv

#include <cstring>
#include <string>

#include "bench/bare_tree.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const bool flush = !(__argc == 4 && std::strcmp(__argv[1], "--no-flush") == 0);
    if (__argc != (flush ? 3 : 4))
        return 2;
    const std::string staged = __argv[__argc - 2];
    const std::string target = __argv[__argc - 1];
    BareTree tree;
    WalkBareTree(staged, "", tree);
    for (const std::string& folder : tree.folders)
        CreateDirectoryA((target + folder).c_str(), nullptr);
    bool copied = true;
    for (const std::string& file : tree.files) {
        const std::string copy = target + file;
        copied = CopyFileA((staged + file).c_str(), copy.c_str(), FALSE) && copied;
        if (!flush)
            continue;
        HANDLE written = CreateFileA(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        copied = written != INVALID_HANDLE_VALUE && FlushFileBuffers(written) && copied;
        CloseHandle(written);
    }
    if (!copied)
        return 1;
    for (const std::string& file : tree.files)
        DeleteFileA((staged + file).c_str());
    for (auto it = tree.folders.rbegin(); it != tree.folders.rend(); ++it)
        RemoveDirectoryA((staged + *it).c_str());
    return RemoveDirectoryA(staged.c_str()) ? 0 : 1;
}
