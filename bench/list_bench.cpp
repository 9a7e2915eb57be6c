// Times CDiskObject's listings against bare FindFirstFileA/FindNextFileA code
// over the same folder, in one process, several runs each; the two take turns
// going first.
//
//   list_bench files FOLDER RUNS   ListFolderFiles vs one search loop
//   list_bench tree FOLDER RUNS    ListFolderTree vs a recursive search walk
//
// FOLDER ends with a backslash. Prints one line: the median milliseconds of
// the bare code and of CDiskObject, then the number of entries each found
// (they must agree).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "disk/disk_object.h"

namespace {

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

size_t BareFiles(const std::string& folder) {
    size_t count = 0;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ++count;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return count;
}

void BareTree(const std::string& folder, std::vector<std::string>& folders) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "*.*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsDotEntry(entry.cFileName)) {
            const std::string sub = folder + entry.cFileName + '\\';
            folders.push_back(sub);
            BareTree(sub, folders);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "files") != 0 && std::strcmp(argv[1], "tree") != 0)) {
        std::fprintf(stderr, "usage: list_bench files|tree FOLDER RUNS\n");
        return 2;
    }
    const bool files = std::strcmp(argv[1], "files") == 0;
    const std::string folder = argv[2];
    const int runs = std::max(1, std::atoi(argv[3]));

    std::vector<double> bareTimes, diskTimes;
    size_t bareCount = 0, diskCount = 0;
    bool listed = true;
    // Whichever goes first may find the directory data less warm, or pay for
    // what the other left behind: the order changes every run.
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((run + turn) % 2 == 0) {
                const double begin = NowMilliseconds();
                if (files) {
                    bareCount = BareFiles(folder);
                } else {
                    std::vector<std::string> folders;
                    BareTree(folder, folders);
                    bareCount = folders.size();
                }
                bareTimes.push_back(NowMilliseconds() - begin);
            } else {
                CDiskObject disk;
                StringList list;
                const double begin = NowMilliseconds();
                listed = (files ? disk.ListFolderFiles(folder, list, false)
                                : disk.ListFolderTree(folder, list, true)) && listed;
                diskTimes.push_back(NowMilliseconds() - begin);
                diskCount = list.size();
            }
        }
    }
    std::printf("%.3f %.3f %zu %zu\n", Median(bareTimes), Median(diskTimes), bareCount, diskCount);
    return listed && bareCount == diskCount ? 0 : 1;
}
