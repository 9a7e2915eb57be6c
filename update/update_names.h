// The names the update machinery keeps in a data folder, and the test that a
// path read from one of its files stays inside the installation.
//
// The installation is the data folder without its top-level entries named
// "update" or beginning with "update.": those belong to the machinery.
//   update\                 the pending update (staged tree); present: an update is pending
//   update\update.version   the list of every file of the staged version (written by the stager)
//   update.partial\         a stager's tree while it is copied
//   update.old\             a pending update being replaced by a newer one
//   update.version          the list of every file of the installed version
//   update.journal          the steps of an apply under way, to finish or undo it
//   update.backup\          the installed files an apply under way has moved aside
//   update.status           what the last start did with the update, for the application
//   update.status.new       the next status while it is written
//
// Portable: no Windows header.
#ifndef ORBEX_UPDATE_UPDATE_NAMES_H_
#define ORBEX_UPDATE_UPDATE_NAMES_H_

#include <string>

extern const char kUpdateFolderName[];        // "update\\"
extern const char kPartialFolderName[];       // "update.partial\\"
extern const char kOldFolderName[];           // "update.old\\"
extern const char kBackupFolderName[];        // "update.backup\\"
extern const char kVersionListName[];         // "update.version"
extern const char kJournalName[];             // "update.journal"
extern const char kMainProgramName[];         // "Orbex.exe", the program the launcher starts
extern const char kPostUpgradeProgramName[];  // "OrbexPostUpgrade.exe"

// True when `name`, a top-level name in the data folder, belongs to the
// update machinery: "update", anything beginning with "update.", and, as
// the platform may make short 8.3 aliases of those ("UPDATE~1.JOU"),
// anything beginning with "update~". Compared without regard to case.
bool IsReservedName(const std::string& name);

// True when `path` (UTF-8) may name an entry of the installation in a list
// read from disk: a path relative to the data folder, backslashes between
// its names, a folder ending with one backslash. Refused: an empty path or
// name, "." and "..", a drive, a rooted or network path, a reserved first
// name, malformed UTF-8, control characters and / : * ? " < > |, a name
// ending with a dot or a space (the platform would drop them and reach
// another entry), and device names such as CON or LPT1 (with or without an
// extension), which name no file.
bool IsInstallationPath(const std::string& path);

#endif  // ORBEX_UPDATE_UPDATE_NAMES_H_
