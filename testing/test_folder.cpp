#include "testing/test_folder.h"

#include <windows.h>

#include <vector>

namespace {

// The last character, not the last byte: a code page 932 character can end in
// 0x5C. Asked of the system rather than of the product's string code, whose
// faults would otherwise shape the very trees the tests lay out.
std::string WithBackslash(std::string folder) {
    if (folder.empty())
        return folder;
    const char* last = CharPrevA(folder.c_str(), folder.c_str() + folder.size());
    if (!(last == folder.c_str() + folder.size() - 1 && *last == '\\'))
        folder += '\\';
    return folder;
}

// The current directory whatever its length in bytes (a UTF-8 or double-byte
// spelling can pass MAX_PATH): the buffer grows to what the call asks for.
std::string CurrentDirectoryOfProcess() {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0)
            return std::string();
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

bool IsWhiteSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

}  // namespace

void TempFolderTest::SetUp() {
    savedCurrentDirectory_ = CurrentDirectoryOfProcess();
    char temp[MAX_PATH];
    DWORD length = GetTempPathA(sizeof temp, temp);
    ASSERT_GT(length, 0u);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string base = WithBackslash(std::string(temp, length)) + "orbex-" +
                       std::to_string(GetCurrentProcessId()) + "-" + info->name();
    for (int attempt = 0;; ++attempt) {
        std::string candidate = base + (attempt ? "-" + std::to_string(attempt) : "");
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            root_ = candidate + "\\";
            break;
        }
        ASSERT_LT(attempt, 100) << "cannot create a temporary folder at " << candidate;
    }
}

void TempFolderTest::TearDown() {
    SetCurrentDirectoryA(savedCurrentDirectory_.c_str());
    // A program the test started may still be ending and hold its file.
    for (int attempt = 0; !root_.empty() && attempt < 100; ++attempt) {
        RemoveTree(root_);
        if (GetFileAttributesA(root_.c_str()) == INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
}

void MakeFolders(const std::string& folder) {
    std::string path;
    for (size_t i = 0; i < folder.size(); ++i) {
        char ch = folder[i] == '/' ? '\\' : folder[i];
        if (ch == '\\' && !path.empty() && path.back() != ':' && path.back() != '\\')
            CreateDirectoryA(path.c_str(), nullptr);
        path += ch;
    }
    CreateDirectoryA(path.c_str(), nullptr);
}

void WriteTextFile(const std::string& path, const std::string& content) {
    size_t slash = path.find_last_of("\\/");
    if (slash != std::string::npos)
        MakeFolders(path.substr(0, slash));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << path;
    DWORD written = 0;
    BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(ok && written == content.size()) << "short write to " << path;
}

std::string ReadTextFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        content.append(buffer, read);
    CloseHandle(file);
    return content;
}

bool FileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void SetReadOnly(const std::string& path, bool readOnly) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << path;
    attributes = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY)
                          : (attributes & ~FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), attributes)) << path;
}

bool IsReadOnly(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

namespace {

typedef long(__cdecl* UnixSpawnFunction)(char* const*, int);

bool RunUnixCommand(std::vector<std::string> words) {
    auto spawn = reinterpret_cast<UnixSpawnFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "__wine_unix_spawnvp")));
    if (!spawn)
        return false;
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return spawn(argv.data(), 1) == 0;
}

}  // namespace

bool MakeUnixFolderLink(const std::string& target, const std::string& link) {
    std::string unixTarget = UnixPathOf(target);
    // The link does not exist yet, so its own name cannot be asked of Wine: map its folder.
    size_t slash = link.find_last_of('\\', link.size() - 2);
    std::string unixFolder = UnixPathOf(link.substr(0, slash));
    std::string name = link.substr(slash + 1);
    if (!name.empty() && name.back() == '\\')
        name.pop_back();
    if (unixTarget.empty() || unixFolder.empty())
        return false;
    return RunUnixCommand({"/bin/ln", "-s", unixTarget, unixFolder + "/" + name});
}

bool RemoveUnixLink(const std::string& link) {
    std::string path = link;
    if (!path.empty() && path.back() == '\\')
        path.pop_back();
    size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos)
        return false;
    // Map the folder, not the link: the link's own name would resolve to its target.
    std::string unixFolder = UnixPathOf(path.substr(0, slash));
    if (unixFolder.empty())
        return false;
    return RunUnixCommand({"/bin/rm", unixFolder + "/" + path.substr(slash + 1)});
}

void RemoveTree(const std::string& folder) {
    std::string base = WithBackslash(folder);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((base + "*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = base + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // Wine can remove neither kind of link through Win32; unlink it from the Unix side.
                if (!RemoveDirectoryA(path.c_str()) && !DeleteFileA(path.c_str()))
                    RemoveUnixLink(path);
            } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(folder.c_str());
}

static void SnapshotInto(const std::string& base, const std::string& relative, TreeSnapshot& out) {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((base + relative + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..")
            continue;
        std::string path = relative + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            out[path + "\\"] = "<link>";
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[path + "\\"] = "<dir>";
            SnapshotInto(base, path + "\\", out);
        } else {
            std::string content = ReadTextFile(base + path);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                content += " <read-only>";
            out[path] = content;
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

TreeSnapshot SnapshotTree(const std::string& folder) {
    TreeSnapshot snapshot;
    SnapshotInto(WithBackslash(folder), "", snapshot);
    return snapshot;
}

bool RunningUnderWine() {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

std::string UnixPathOf(const std::string& windowsPath) {
    typedef char*(__cdecl * UnixNameFunction)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixNameFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        return std::string();
    int count = MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> wide(count > 0 ? count : 1);
    MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide.data(), count);
    char* name = unixName(wide.data());
    if (!name)
        return std::string();
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::string SystemMessage(unsigned long code) {
    char* buffer = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0x0400, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = buffer ? buffer : "";
    if (buffer)
        LocalFree(buffer);
    // The system's texts end with a line break.
    size_t end = text.size();
    while (end > 0 && IsWhiteSpace(text[end - 1]))
        --end;
    size_t begin = 0;
    while (begin < end && IsWhiteSpace(text[begin]))
        ++begin;
    return text.substr(begin, end - begin);
}

std::string TestProgramFolder() {
    char buffer[MAX_PATH * 4];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    std::string path(buffer, length < sizeof buffer ? length : 0);
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
