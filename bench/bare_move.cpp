// The floor for applying an update by moving files: only the renames the
// result needs. One FindFirstFileA walk of the staged tree, CreateDirectoryA
// of each target folder (an existing one just fails); for each file, the
// installed file at its place renamed aside (a missing one just fails) and
// the staged file renamed into place; then DeleteFileA of each file moved
// aside, and RemoveDirectoryA of the folders that held them, of each staged
// folder, deepest first, and of the staged folder itself. No journal, no
// checks, no flush, no error texts.
//
// The files go aside into TARGET_FOLDER\bare.aside\, 64 to a folder: Wine
// reads a whole folder to look up a name that is missing there, which every
// rename does for its new name, so a folder that grows with the files moved
// aside would make each rename dearer than it is on Windows.
//
//   bare_move STAGED_FOLDER TARGET_FOLDER   (folders ending with a backslash, on one volume)
//
// Exit code 0 when every file was moved and the staged tree is gone, 1 when
// not, 2 for wrong arguments.
#include <windows.h>

#include <stdlib.h>  // __argc, __argv

#include <string>
#include <vector>

#include "bench/bare_tree.h"

namespace {

const size_t kFilesPerAsideFolder = 64;

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc != 3)
        return 2;
    const std::string staged = __argv[1];
    const std::string target = __argv[2];
    BareTree tree;
    WalkBareTree(staged, "", tree);
    for (const std::string& folder : tree.folders)
        CreateDirectoryA((target + folder).c_str(), nullptr);
    const std::string asideRoot = target + "bare.aside\\";
    std::vector<std::string> asideFolders;
    std::vector<std::string> movedAside;
    bool moved = CreateDirectoryA(asideRoot.c_str(), nullptr);
    for (const std::string& file : tree.files) {
        if (movedAside.size() == asideFolders.size() * kFilesPerAsideFolder) {
            asideFolders.push_back(asideRoot + std::to_string(asideFolders.size()) + '\\');
            moved = CreateDirectoryA(asideFolders.back().c_str(), nullptr) && moved;
        }
        const std::string installed = target + file;
        const std::string aside = asideFolders.back() + std::to_string(movedAside.size());
        if (MoveFileA(installed.c_str(), aside.c_str()))
            movedAside.push_back(aside);
        moved = MoveFileA((staged + file).c_str(), installed.c_str()) && moved;
    }
    bool removed = true;
    for (const std::string& aside : movedAside)
        removed = DeleteFileA(aside.c_str()) && removed;
    for (const std::string& folder : asideFolders)
        removed = RemoveDirectoryA(folder.c_str()) && removed;
    removed = RemoveDirectoryA(asideRoot.c_str()) && removed;
    for (auto it = tree.folders.rbegin(); it != tree.folders.rend(); ++it)
        removed = RemoveDirectoryA((staged + *it).c_str()) && removed;
    removed = RemoveDirectoryA(staged.c_str()) && removed;
    return moved && removed ? 0 : 1;
}
