// A fresh installation per test: program folder Apps\ with the built launcher
// as Orbex.exe, and Apps\OrbexData\ with the sample main program as Orbex.exe.
#ifndef ORBEX_TESTING_INSTALLATION_FIXTURE_H_
#define ORBEX_TESTING_INSTALLATION_FIXTURE_H_

#include <string>
#include <vector>

#include "testing/test_folder.h"

// What the sample main program recorded about one start.
struct HandOff {
    // The code page the main program ran in, and what it received as a
    // Unicode program: wide working directory and CommandLineToArgvW
    // arguments, in UTF-8.
    std::string codePage;
    std::string wideWorkingDirectory;
    std::vector<std::string> wideArguments;
    std::string version;
    std::string workingDirectory;
    std::string commandLine;
    std::vector<std::string> arguments;
    // The update folder was still there when the main program started.
    bool updatePending = false;
};

class InstallationTest : public TempFolderTest {
protected:
    void SetUp() override;

    std::string ProgramFolder() const { return At(installFolder_); }
    std::string DataFolder() const { return ProgramFolder() + "OrbexData\\"; }
    std::string UpdateFolder() const { return DataFolder() + "update\\"; }

    // Lays out an installation at Root() + `folder` (ending with a backslash);
    // the folders above name it from then on. SetUp installs at "Apps\".
    void Install(const std::string& folder);

    // Starts the launcher as the shell would (CreateProcessW with the command
    // line "<program folder>\Orbex.exe" + arguments, converted from the test
    // program's code page) from `currentDirectory` (empty: Root()), and
    // returns its exit code once it has ended.
    unsigned long RunLauncher(const std::string& arguments,
                              const std::string& currentDirectory = std::string());

    // The `count`th start recorded by the main program, waiting for it to
    // appear (the launcher does not wait for the main program).
    HandOff WaitForHandOff(size_t count = 1);
    // How many starts the main program has recorded so far.
    size_t HandOffCount();
    // Waits until the main program's file is no longer in use.
    void WaitForMainProgramToEnd();

    // A name for events and mutexes that is unique to this test.
    std::string EventName() const;

    // The data folder's files and folders, without the main program's log,
    // the installed version's list and the update status (tests of those
    // read them themselves).
    TreeSnapshot DataSnapshot() const;

private:
    std::string installFolder_ = "Apps\\";
};

// What a complete update makes of a data folder whose snapshot, taken before
// the start, holds the staged tree under update\: the staged files replace or
// join those at the same relative place, the update folder and the
// post-upgrade program are gone, everything else stays as it was (so no
// file is dropped: the installation had no version list, or the update
// brought none). The installed version's list is left out, as by
// DataSnapshot.
TreeSnapshot ExpectedAfterUpdate(const TreeSnapshot& dataBefore);

// Copies a built program that lies next to the test program.
void CopyBuiltProgram(const std::string& name, const std::string& target);

#endif  // ORBEX_TESTING_INSTALLATION_FIXTURE_H_
