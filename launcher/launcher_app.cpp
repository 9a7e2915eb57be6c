#include "launcher/launcher_app.h"

#include <windows.h>
#include <shellapi.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <new>

#include "base/system_code_page.h"
#include "launcher/command_line.h"

const char kDataFolderName[] = "OrbexData\\";
const char kUpdateFolderName[] = "update\\";
const char kMainProgramName[] = "Orbex.exe";
const char kPostUpgradeProgramName[] = "OrbexPostUpgrade.exe";

std::string GetProgramFolder() {
    try {
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[MAX_PATH]);
        if (!buffer)
            return std::string();
        DWORD length = GetModuleFileNameA(nullptr, buffer.get(), MAX_PATH);
        // A name that fills the buffer was cut short.
        if (length == 0 || length >= MAX_PATH)
            return std::string();
        std::string fileName(buffer.get(), length);
        // A trail byte 0x5C is not a backslash: find the last real one.
        size_t lastBackslash = std::string::npos;
        for (size_t pos = 0; pos < fileName.size();
             pos += CharLengthAt(fileName, pos, IsSystemLeadByte)) {
            if (fileName[pos] == '\\')
                lastBackslash = pos;
        }
        return lastBackslash == std::string::npos ? std::string()
                                                  : fileName.substr(0, lastBackslash + 1);
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}

bool PathExists(const std::string& path) {
    std::string statPath = path;
    if (LastCharIs(statPath, '\\', IsSystemLeadByte))
        statPath.pop_back();
    struct _stat status;
    return _stat(statPath.c_str(), &status) == 0;
}

bool CLauncherApp::Start() {
    try {
        std::string forwarded =
            ChooseForwardedArgument(SplitCommandLineArguments(GetCommandLineA(), IsSystemLeadByte));
        std::string programFolder = GetProgramFolder();
        if (programFolder.empty())
            return false;
        std::string dataFolder = programFolder + kDataFolderName;
        std::string updateFolder = dataFolder + kUpdateFolderName;

        if (PathExists(updateFolder))
            ApplyPendingUpdate(dataFolder, updateFolder);

        std::string mainProgram = dataFolder + kMainProgramName;
        std::string parameters;
        if (!forwarded.empty())
            parameters = QuoteArgument(forwarded, IsSystemLeadByte);
        ShellExecuteA(nullptr, "open", mainProgram.c_str(),
                      parameters.empty() ? nullptr : parameters.c_str(), dataFolder.c_str(),
                      SW_SHOW);
    } catch (...) {
        // Out of memory: end quietly, without the hand-off.
    }
    return false;
}
