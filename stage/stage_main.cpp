// OrbexStage.exe: the console program vendors run to stage an update.
//   OrbexStage.exe SOURCE DATAFOLDER
// Exit code 0 when the update is staged, 1 when it was refused or failed (and
// nothing was changed), 0 for --help.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stage/stage_update.h"

namespace {

const char kUsage[] =
    "usage: OrbexStage.exe SOURCE DATAFOLDER\n"
    "\n"
    "Stages the folder tree SOURCE as the pending update of the installation\n"
    "whose data folder is DATAFOLDER (the OrbexData folder beside Orbex.exe).\n"
    "The tree is copied to DATAFOLDER\\update.partial\\ and then renamed to\n"
    "DATAFOLDER\\update\\ in one step, so the launcher never sees half of it; an\n"
    "update that is still pending is replaced whole. The launcher applies it at\n"
    "its next start.\n"
    "\n"
    "Exit code: 0 staged, 1 refused or failed (nothing changed).\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "/?") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
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
    StageResult result = StageUpdate(paths[0], paths[1]);
    if (!result.ok) {
        std::fprintf(stderr, "OrbexStage: nothing staged: %s\n", result.errorText.c_str());
        return 1;
    }
    std::printf("staged %llu files, %llu bytes, as the pending update of %s\n",
                result.filesStaged, result.bytesStaged, paths[1].c_str());
    if (!result.warning.empty())
        std::fprintf(stderr, "OrbexStage: warning: %s\n", result.warning.c_str());
    return 0;
}
