// OrbexStage.exe: the console program vendors run to stage an update.
//   OrbexStage.exe [--all] SOURCE DATAFOLDER
// Exit code 0 when the update is staged, 1 when it was refused or failed (and
// nothing was changed), 0 for --help.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/stage_update.h"

namespace {

const char kUsage[] =
    "usage: OrbexStage.exe [--all] SOURCE DATAFOLDER\n"
    "\n"
    "Stages the folder tree SOURCE (the new version, laid out like the data\n"
    "folder) as the pending update of the installation whose data folder is\n"
    "DATAFOLDER (the OrbexData folder beside Orbex.exe). Only the files that are\n"
    "new or differ from the installed ones are staged, and the folders the data\n"
    "folder lacks; --all stages everything. The staged tree carries the list of\n"
    "the whole new version, with each file's size and SHA-256: applied, the\n"
    "files the installed version has and the new one lacks are removed, and the\n"
    "launcher checks every staged file before it changes anything.\n"
    "\n"
    "The files are copied to DATAFOLDER\\update.partial\\, which is then renamed\n"
    "to DATAFOLDER\\update\\ in one step, so the launcher never sees half an\n"
    "update; an update that is still pending is replaced whole. The launcher\n"
    "applies it at its next start.\n"
    "\n"
    "Exit code: 0 staged, 1 refused or failed (nothing changed).\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> paths;
    bool stageAll = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "/?") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--all") == 0) {
            stageAll = true;
            continue;
        }
        // An empty argument is a path left blank, not a switch.
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "OrbexStage: unknown option %s\n\n%s", argv[i], kUsage);
            return 1;
        }
        paths.push_back(argv[i]);
    }
    if (paths.size() != 2) {
        std::fprintf(stderr, "OrbexStage: give a SOURCE and a DATAFOLDER\n\n%s", kUsage);
        return 1;
    }
    StageResult result = StageUpdate(paths[0], paths[1], stageAll);
    if (!result.ok) {
        std::fprintf(stderr, "OrbexStage: nothing staged: %s\n", result.errorText.c_str());
        return 1;
    }
    std::printf("staged %llu files, %llu bytes, as the pending update of %s\n"
                "left out %llu files, %llu bytes, equal to the installed ones\n",
                result.filesStaged, result.bytesStaged, paths[1].c_str(), result.filesLeftOut,
                result.bytesLeftOut);
    if (!result.warning.empty())
        std::fprintf(stderr, "OrbexStage: warning: %s\n", result.warning.c_str());
    return 0;
}
