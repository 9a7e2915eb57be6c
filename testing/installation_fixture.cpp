#include "testing/installation_fixture.h"

#include <windows.h>

#include <algorithm>
#include <sstream>

void CopyBuiltProgram(const std::string& name, const std::string& target) {
    std::string source = TestProgramFolder() + name;
    MakeFolders(target.substr(0, target.find_last_of('\\')));
    ASSERT_TRUE(CopyFileA(source.c_str(), target.c_str(), FALSE))
        << "cannot copy " << source << " to " << target << ": " << GetLastError();
}

namespace {

std::wstring Widen(const std::string& text) {
    int count = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(count > 0 ? count : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], count);
    wide.resize(wide.size() - 1);
    return wide;
}

}  // namespace

void InstallationTest::SetUp() {
    TempFolderTest::SetUp();
    Install(installFolder_);
}

void InstallationTest::Install(const std::string& folder) {
    installFolder_ = folder;
    MakeFolders(DataFolder());
    CopyBuiltProgram("Orbex.exe", ProgramFolder() + "Orbex.exe");
    CopyBuiltProgram("sample_main.exe", DataFolder() + "Orbex.exe");
}

unsigned long InstallationTest::RunLauncher(const std::string& arguments,
                                            const std::string& currentDirectory) {
    std::string launcher = ProgramFolder() + "Orbex.exe";
    const std::wstring application = Widen(launcher);
    std::wstring commandLine =
        Widen("\"" + launcher + "\"" + (arguments.empty() ? "" : " " + arguments));
    const std::wstring folder = Widen(currentDirectory.empty() ? Root() : currentDirectory);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process)) {
        const DWORD error = GetLastError();
        ADD_FAILURE() << "cannot start " << launcher << ": " << error;
        return ~0ul;
    }
    CloseHandle(process.hThread);
    DWORD exitCode = ~0ul;
    if (WaitForSingleObject(process.hProcess, 300000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        ADD_FAILURE() << "the launcher did not end";
    CloseHandle(process.hProcess);
    return exitCode;
}

size_t InstallationTest::HandOffCount() {
    // A log that is there but reads as empty is being written by a main
    // program, which holds it alone meanwhile.
    const std::string path = DataFolder() + "handoff.log";
    std::string log;
    for (int attempt = 0; attempt < 200 && FileExists(path) && log.empty(); ++attempt) {
        log = ReadTextFile(path);
        if (log.empty())
            Sleep(10);
    }
    return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
}

HandOff InstallationTest::WaitForHandOff(size_t count) {
    // One read serves both the count and the line: the main program holds
    // the log alone while it writes, and a read then finds nothing.
    std::string text;
    auto lines = [&text] { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); };
    for (int attempt = 0; attempt < 600; ++attempt) {
        text = ReadTextFile(DataFolder() + "handoff.log");
        if (lines() >= count)
            break;
        Sleep(50);
    }
    HandOff handOff;
    if (lines() < count) {
        ADD_FAILURE() << "the main program did not record start " << count;
        return handOff;
    }
    std::istringstream log(text);
    std::string line;
    for (size_t i = 0; i < count && std::getline(log, line); ++i) {
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) {
        size_t equals = field.find('=');
        std::string key = field.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : field.substr(equals + 1);
        if (key == "acp")
            handOff.codePage = value;
        else if (key == "wcwd")
            handOff.wideWorkingDirectory = value;
        else if (key.size() > 1 && key[0] == 'w' && key[1] >= '0' && key[1] <= '9')
            handOff.wideArguments.push_back(value);
        else if (key == "version")
            handOff.version = value;
        else if (key == "cwd")
            handOff.workingDirectory = value;
        else if (key == "cmdline")
            handOff.commandLine = value;
        else if (key == "update")
            handOff.updatePending = value == "1";
        else
            handOff.arguments.push_back(value);
    }
    return handOff;
}

void InstallationTest::WaitForMainProgramToEnd() {
    std::string mainProgram = DataFolder() + "Orbex.exe";
    for (int attempt = 0; attempt < 300; ++attempt) {
        HANDLE file = CreateFileA(mainProgram.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return;
        Sleep(100);
    }
}

std::string InstallationTest::EventName() const {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return "OrbexTest-" + std::to_string(GetCurrentProcessId()) + "-" + info->name();
}

TreeSnapshot InstallationTest::DataSnapshot() const {
    TreeSnapshot snapshot = SnapshotTree(DataFolder());
    snapshot.erase("handoff.log");
    snapshot.erase("update.version");
    snapshot.erase("update.status");
    return snapshot;
}

TreeSnapshot ExpectedAfterUpdate(const TreeSnapshot& dataBefore) {
    const std::string staged = "update\\";
    TreeSnapshot expected;
    for (const auto& entry : dataBefore) {
        if (entry.first.compare(0, staged.size(), staged) != 0 &&
            entry.first != "OrbexPostUpgrade.exe")
            expected.insert(entry);
    }
    for (const auto& entry : dataBefore) {
        if (entry.first.size() > staged.size() && entry.first.compare(0, staged.size(), staged) == 0)
            expected[entry.first.substr(staged.size())] = entry.second;
    }
    expected.erase("OrbexPostUpgrade.exe");
    expected.erase("update.version");
    return expected;
}
