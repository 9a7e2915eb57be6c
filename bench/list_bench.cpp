// Times CDiskObject::ListFolderFiles on a folder of 50,000 empty files against
// a bare FindFirstFileA/FindNextFileA loop over the same folder.
#include <windows.h>

#include <cstdio>
#include <string>

#include "disk/disk_object.h"

namespace {

const int kFileCount = 50000;

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        ULARGE_INTEGER value;
        value.LowPart = time.dwLowDateTime;
        value.HighPart = time.dwHighDateTime;
        return value.QuadPart / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

double WallSeconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

struct Timing {
    double cpu;
    double wall;
};

template <typename Work>
Timing Measure(Work work) {
    double cpu = CpuSeconds();
    double wall = WallSeconds();
    work();
    return {CpuSeconds() - cpu, WallSeconds() - wall};
}

size_t BareSearch(const std::string& folder) {
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

}  // namespace

int main() {
    char temp[MAX_PATH];
    DWORD length = GetTempPathA(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    const std::string folder =
        std::string(temp, length) + "orbex-list-bench-" + std::to_string(GetCurrentProcessId()) + "\\";
    if (!CreateDirectoryA(folder.c_str(), nullptr)) {
        std::printf("cannot create %s\n", folder.c_str());
        return 1;
    }

    // Names arrive in an order unrelated to the sorted one.
    Timing create = Measure([&] {
        for (int i = 0; i < kFileCount; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "f%05d-%c.dat", (i * 7919) % kFileCount, 'a' + i % 26);
            HANDLE file = CreateFileA((folder + name).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
        }
    });
    std::printf("created %d files in %.2f s\n", kFileCount, create.wall);

    size_t bareCount = 0;
    Timing bare = Measure([&] { bareCount = BareSearch(folder); });
    StringList names;
    bool listed = false;
    Timing listing = Measure([&] {
        CDiskObject disk;
        listed = disk.ListFolderFiles(folder, names, false);
    });
    std::printf("bare FindFirstFileA loop: %zu files, cpu %.3f s, wall %.3f s\n", bareCount,
                bare.cpu, bare.wall);
    std::printf("ListFolderFiles (sorted): %zu files, cpu %.3f s, wall %.3f s%s\n", names.size(),
                listing.cpu, listing.wall, listed ? "" : " (failed)");

    for (const std::string& name : names)
        DeleteFileA((folder + name).c_str());
    RemoveDirectoryA(folder.c_str());
    return listed && names.size() == bareCount ? 0 : 1;
}
