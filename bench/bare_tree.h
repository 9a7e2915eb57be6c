// The walk the bare reference programs share: one FindFirstFileA search per
// folder and nothing else, no sorting, no link checks, no error texts.
#ifndef ORBEX_BENCH_BARE_TREE_H_
#define ORBEX_BENCH_BARE_TREE_H_

#include <windows.h>

#include <string>
#include <vector>

struct BareTree {
    std::vector<std::string> folders;  // relative, ending with '\', pre-order
    std::vector<std::string> files;    // relative
};

// Adds what lies under root + relative (both ending with a backslash, or
// relative empty) to `tree`. A folder that cannot be searched adds nothing.
inline void WalkBareTree(const std::string& root, const std::string& relative, BareTree& tree) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((root + relative + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const char* name = entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            const std::string folder = relative + name + '\\';
            tree.folders.push_back(folder);
            WalkBareTree(root, folder, tree);
        } else {
            tree.files.push_back(relative + name);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

#endif  // ORBEX_BENCH_BARE_TREE_H_
