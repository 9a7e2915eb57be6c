// The shipped launcher's executable image: a 32-bit GUI program with ASLR and
// DEP, no writable-and-executable section, importing only system DLLs, and
// carrying its icon, version record and manifest. Reads the release build
// named by ORBEX_SHIPPED_LAUNCHER (else the Orbex.exe next to this test).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "testing/test_folder.h"

namespace {

std::string ShippedLauncher() {
    const char* path = std::getenv("ORBEX_SHIPPED_LAUNCHER");
    return path && *path ? path : TestProgramFolder() + "Orbex.exe";
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

// Bounds-checked reads of the image as a file.
class PeFile {
public:
    explicit PeFile(std::string bytes) : bytes_(std::move(bytes)) {}
    template <typename T>
    bool Read(size_t offset, T* out) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T))
            return false;
        std::memcpy(out, bytes_.data() + offset, sizeof(T));
        return true;
    }
    std::string StringAt(size_t offset) const {
        if (offset >= bytes_.size())
            return std::string();
        size_t end = bytes_.find('\0', offset);
        return bytes_.substr(offset, end == std::string::npos ? std::string::npos : end - offset);
    }
    size_t size() const { return bytes_.size(); }

private:
    std::string bytes_;
};

class LauncherImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ShippedLauncher();
        std::string bytes = ReadTextFile(path_);
        ASSERT_FALSE(bytes.empty()) << "cannot read " << path_;
        pe_.reset(new PeFile(bytes));
        IMAGE_DOS_HEADER dos;
        ASSERT_TRUE(pe_->Read(0, &dos));
        ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
        ntOffset_ = static_cast<size_t>(dos.e_lfanew);
        DWORD signature = 0;
        ASSERT_TRUE(pe_->Read(ntOffset_, &signature));
        ASSERT_EQ(signature, IMAGE_NT_SIGNATURE);
        ASSERT_TRUE(pe_->Read(ntOffset_ + 4, &fileHeader_));
        ASSERT_EQ(fileHeader_.Machine, IMAGE_FILE_MACHINE_I386) << path_ << " is not 32-bit";
        ASSERT_TRUE(pe_->Read(ntOffset_ + 4 + sizeof fileHeader_, &optional_));
        ASSERT_EQ(optional_.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
        size_t sections = ntOffset_ + 4 + sizeof fileHeader_ + fileHeader_.SizeOfOptionalHeader;
        for (WORD i = 0; i < fileHeader_.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section;
            ASSERT_TRUE(pe_->Read(sections + i * sizeof section, &section));
            sections_.push_back(section);
        }
    }

    // File offset of a relative virtual address; 0 when no section holds it.
    size_t OffsetOf(DWORD rva) const {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return 0;
    }

    std::string path_;
    std::unique_ptr<PeFile> pe_;
    size_t ntOffset_ = 0;
    IMAGE_FILE_HEADER fileHeader_ = {};
    IMAGE_OPTIONAL_HEADER32 optional_ = {};
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

TEST_F(LauncherImageTest, IsAGuiProgramWithAslrAndDep) {
    EXPECT_EQ(optional_.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_TRUE(optional_.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_TRUE(optional_.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    // ASLR needs the relocations to move the image.
    EXPECT_FALSE(fileHeader_.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_NE(optional_.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
    for (const IMAGE_SECTION_HEADER& s : sections_) {
        std::string name(reinterpret_cast<const char*>(s.Name), strnlen(reinterpret_cast<const char*>(s.Name), 8));
        EXPECT_FALSE((s.Characteristics & IMAGE_SCN_MEM_WRITE) &&
                     (s.Characteristics & IMAGE_SCN_MEM_EXECUTE))
            << "section " << name << " is writable and executable";
    }
}

// shell32 is loaded at run time from the system folder, after the DLL search
// is restricted; a static import would be loaded before that, from a search
// order that starts in the program folder.
TEST_F(LauncherImageTest, ImportsOnlyKernel32AndTheCRuntime) {
    const IMAGE_DATA_DIRECTORY& imports = optional_.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    size_t offset = OffsetOf(imports.VirtualAddress);
    ASSERT_NE(offset, 0u);
    std::set<std::string> imported;
    for (;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        ASSERT_TRUE(pe_->Read(offset, &descriptor));
        if (descriptor.Name == 0)
            break;
        imported.insert(Lower(pe_->StringAt(OffsetOf(descriptor.Name))));
    }
    EXPECT_EQ(imported, (std::set<std::string>{"kernel32.dll", "msvcrt.dll"})) << path_;
}

// The trimmed GCC runtime keeps about 130 KB out of the launcher; a toolchain
// whose library no longer calls the helpers it replaces shows here.
TEST_F(LauncherImageTest, StaysUnderItsSizeCeiling) {
    const char* ceiling = std::getenv("ORBEX_LAUNCHER_SIZE_CEILING");
    if (!ceiling || !*ceiling)
        GTEST_SKIP() << "no size ceiling configured";
    EXPECT_LE(pe_->size(), std::strtoul(ceiling, nullptr, 10)) << path_;
}

// Loads the image's resources; a 32-bit image loads as data in any process.
class LauncherResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExA(ShippedLauncher().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load " << ShippedLauncher() << ": " << GetLastError();
    }
    void TearDown() override {
        if (module_)
            FreeLibrary(module_);
    }
    std::string Resource(LPCSTR name, LPCSTR type) {
        HRSRC found = FindResourceA(module_, name, type);
        if (!found)
            return std::string();
        HGLOBAL loaded = LoadResource(module_, found);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return data ? std::string(data, SizeofResource(module_, found)) : std::string();
    }
    HMODULE module_ = nullptr;
};

#pragma pack(push, 2)
struct IconGroupHeader {
    WORD reserved, type, count;
};
struct IconGroupEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(LauncherResourcesTest, IconGroup128HoldsTheSevenImages) {
    std::string group = Resource(MAKEINTRESOURCEA(128), MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */);
    ASSERT_GE(group.size(), sizeof(IconGroupHeader));
    IconGroupHeader header;
    std::memcpy(&header, group.data(), sizeof header);
    ASSERT_EQ(header.count, 7);
    ASSERT_EQ(group.size(), sizeof header + 7 * sizeof(IconGroupEntry));
    struct Expected {
        int size, bits;
    };
    const Expected expected[7] = {{16, 4}, {32, 8}, {16, 8}, {256, 32}, {48, 32}, {32, 32}, {16, 32}};
    for (int i = 0; i < 7; ++i) {
        IconGroupEntry entry;
        std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
        int width = entry.width ? entry.width : 256;
        int height = entry.height ? entry.height : 256;
        EXPECT_EQ(width, expected[i].size) << "image " << i;
        EXPECT_EQ(height, expected[i].size) << "image " << i;
        EXPECT_EQ(entry.bitCount, expected[i].bits) << "image " << i;
        std::string image = Resource(MAKEINTRESOURCEA(entry.id), MAKEINTRESOURCEA(3) /* RT_ICON */);
        ASSERT_EQ(image.size(), entry.bytes) << "image " << i;
        bool png = image.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
        EXPECT_EQ(png, expected[i].size == 256) << "image " << i << ": only 256x256 is PNG-compressed";
    }
}

TEST_F(LauncherResourcesTest, VersionRecordHoldsExactlyTheFieldsAndTexts) {
    std::string record = Resource(MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16) /* RT_VERSION */);
    ASSERT_FALSE(record.empty());
    // VerQueryValue needs a writable copy as GetFileVersionInfo would give it.
    std::vector<char> block(record.begin(), record.end());
    block.resize(record.size() * 3);

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00090000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00090000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04B0);

    const std::pair<const char*, const char*> fields[] = {
        {"Comments", "Orbex Browser"},  {"CompanyName", "Orbex"},
        {"FileDescription", "Orbex Browser"}, {"FileVersion", "9, 0, 0, 0"},
        {"InternalName", "Orbex"},      {"LegalTrademarks", "Orbex"},
        {"OriginalFilename", "Orbex.EXE"}, {"PrivateBuild", ""},
        {"ProductName", "Orbex"},       {"ProductVersion", "9, 0, 0, 0"},
        {"SpecialBuild", ""}};
    for (const auto& field : fields) {
        char* value = nullptr;
        std::string key = std::string("\\StringFileInfo\\040904b0\\") + field.first;
        ASSERT_TRUE(VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << field.first << " is missing";
        EXPECT_STREQ(length ? value : "", field.second) << field.first;
    }
    char* copyright = nullptr;
    EXPECT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\LegalCopyright",
                               reinterpret_cast<void**>(&copyright), &length));
}

TEST_F(LauncherResourcesTest, ManifestAsksForNoElevation) {
    std::string manifest = Resource(MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find("supportedOS"), std::string::npos);
}

// UTF-8 as the launcher's ANSI code page, so that its A calls carry every name.
TEST_F(LauncherResourcesTest, ManifestDeclaresUtf8AsTheActiveCodePage) {
    std::string manifest = Resource(MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
    EXPECT_NE(manifest.find("<activeCodePage "
                            "xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">"
                            "UTF-8</activeCodePage>"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("<windowsSettings>"), std::string::npos);
}

}  // namespace
