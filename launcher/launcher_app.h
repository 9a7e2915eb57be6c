// The launcher: the file users start. Each run applies a pending update staged
// in the data folder's update folder, starts the main program from the data
// folder with the one forwarded argument, and ends with exit code 0.
//
// Installation layout, every folder ending with a backslash:
//   program folder        the launcher's own folder (GetProgramFolder)
//   data folder           program folder + "OrbexData\"   (main program's working directory)
//   update folder         data folder + "update\"          (present: an update is pending)
//   main program          data folder + "Orbex.exe"
//   post-upgrade program  data folder + "OrbexPostUpgrade.exe" (deleted after an applied update)
#ifndef ORBEX_LAUNCHER_LAUNCHER_APP_H_
#define ORBEX_LAUNCHER_LAUNCHER_APP_H_

#include <string>

#include "update/update_names.h"  // the update folder, the main and post-upgrade programs

extern const char kDataFolderName[];  // "OrbexData\\"

// The application object: one global instance, no state of its own.
class CLauncherApp {
public:
    // Runs the launcher once: picks the forwarded argument, applies a pending
    // update, starts the main program without waiting for it. Always returns
    // false ("no message loop"): the process then ends with exit code 0.
    // Nothing is shown or logged; a failed update or a missing main program
    // still ends normally. Out of memory ends the run quietly, without the
    // hand-off. When the launcher's own folder cannot be determined (or its
    // path reaches the platform's limit of 260 characters), nothing is done
    // at all: a layout
    // relative to the current directory would start whatever program lies
    // under the folder of the document being opened.
    bool Start();
};

// The folder of the running executable, ending with a backslash. Empty when
// its file name cannot be obtained whole, or is 260 UTF-16 units or longer
// (the platform's path limit, whatever its length in bytes: under UTF-8 a
// name under the limit can take up to three times as many bytes).
std::string GetProgramFolder();

// True when a file or folder exists at `path`. One trailing backslash (the
// last character, not merely the last byte) is removed first, because the C
// runtime's status query fails for a folder written with it.
bool PathExists(const std::string& path);

// Applies the update pending in `dataFolder` (a full path ending with a
// backslash) all at once or not at all, after finishing or undoing one that
// an earlier run left cut short (update/apply_update.h): the installed
// files are then exactly the old version, the update still pending for the
// next start (or removed, when a staged file failed its check), or exactly
// the new one, the update folder and the post-upgrade program gone. What it
// did is written to update.status for the application. False only when a
// run cut short could be neither finished nor undone (a file in use): the
// installation is then a mix of two versions, and the main program must not
// be started on it.
// May throw std::bad_alloc.
bool ApplyPendingUpdate(const std::string& dataFolder);

#endif  // ORBEX_LAUNCHER_LAUNCHER_APP_H_
