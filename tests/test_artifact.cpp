// The shipped 32-bit Quorin.dll, checked without running it: an i386 image exporting the four
// entry points by name and nothing else, with image version 8.71, its three resources and the type
// library they carry. The tests name the file through QUORIN_SHIPPED_DLL.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "com/com.h"
#include "tests/typelib_expect.h"

namespace {

using quorin::ComPtr;

std::wstring ShippedPath() {
    wchar_t path[1024] = {};
    DWORD n = GetEnvironmentVariableW(L"QUORIN_SHIPPED_DLL", path, 1024);
    return n > 0 && n < 1024 ? path : L"";
}

std::vector<unsigned char> FileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::vector<unsigned char> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!ReadFile(file, bytes.data(), DWORD(bytes.size()), &read, nullptr)) read = 0;
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

template <class T>
T At(const std::vector<unsigned char>& b, size_t offset) {
    T v{};
    if (offset + sizeof(T) <= b.size()) std::memcpy(&v, &b[offset], sizeof(T));
    return v;
}

class ShippedDll : public testing::Test {
  protected:
    void SetUp() override {
        path_ = ShippedPath();
        ASSERT_FALSE(path_.empty()) << "QUORIN_SHIPPED_DLL names no file";
        bytes_ = FileBytes(path_);
        ASSERT_GT(bytes_.size(), 0x400u);
        nt_ = At<LONG>(bytes_, 0x3C);
    }

    // The file offset of a relative virtual address, through the section table.
    size_t Offset(DWORD rva) const {
        const auto file = At<IMAGE_FILE_HEADER>(bytes_, nt_ + 4);
        size_t sections = nt_ + 4 + sizeof(IMAGE_FILE_HEADER) + file.SizeOfOptionalHeader;
        for (WORD i = 0; i < file.NumberOfSections; ++i) {
            auto s = At<IMAGE_SECTION_HEADER>(bytes_, sections + i * sizeof(IMAGE_SECTION_HEADER));
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return bytes_.size();
    }

    std::wstring path_;
    std::vector<unsigned char> bytes_;
    LONG nt_ = 0;
};

TEST_F(ShippedDll, IsA32BitX86DllWithImageVersion8_71) {
    EXPECT_EQ(IMAGE_DOS_SIGNATURE, At<WORD>(bytes_, 0));
    EXPECT_EQ(IMAGE_NT_SIGNATURE, At<DWORD>(bytes_, nt_));
    const auto file = At<IMAGE_FILE_HEADER>(bytes_, nt_ + 4);
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, file.Machine);
    EXPECT_TRUE(file.Characteristics & IMAGE_FILE_DLL);
    const auto optional = At<IMAGE_OPTIONAL_HEADER32>(bytes_, nt_ + 4 + sizeof(file));
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, optional.Magic);
    EXPECT_EQ(8, optional.MajorImageVersion);
    EXPECT_EQ(71, optional.MinorImageVersion);
}

TEST_F(ShippedDll, ExportsTheFourEntryPointsByNameAndNothingElse) {
    const auto optional = At<IMAGE_OPTIONAL_HEADER32>(bytes_, nt_ + 4 + sizeof(IMAGE_FILE_HEADER));
    const IMAGE_DATA_DIRECTORY dir = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, dir.VirtualAddress);
    const auto exports = At<IMAGE_EXPORT_DIRECTORY>(bytes_, Offset(dir.VirtualAddress));
    EXPECT_EQ(4u, exports.NumberOfFunctions);
    ASSERT_EQ(4u, exports.NumberOfNames);
    std::set<std::string> names;
    for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
        size_t name = Offset(At<DWORD>(bytes_, Offset(exports.AddressOfNames) + 4 * i));
        names.insert(reinterpret_cast<const char*>(&bytes_[name]));
        WORD ordinal = At<WORD>(bytes_, Offset(exports.AddressOfNameOrdinals) + 2 * i);
        EXPECT_NE(0u, At<DWORD>(bytes_, Offset(exports.AddressOfFunctions) + 4 * ordinal));
    }
    EXPECT_EQ((std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                     "DllUnregisterServer"}),
              names);
}

// The resources as a module loaded for its resources only sees them.
class ShippedResources : public ShippedDll {
  protected:
    void SetUp() override {
        ShippedDll::SetUp();
        module_ = LoadLibraryExW(path_.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_TRUE(module_);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }
    HMODULE module_ = nullptr;
};

std::wstring ResourceName(LPCWSTR name) {
    return IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name))
                                : std::wstring(name);
}

// type/name/language of every resource of a module. The enumeration callbacks are standard calls:
// a lambda would have the compiler's default convention, which differs on i686.
struct ResourceWalk {
    std::set<std::wstring> all;
    std::wstring type, name;
};

BOOL CALLBACK OnLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR w) {
    auto* walk = reinterpret_cast<ResourceWalk*>(w);
    walk->all.insert(walk->type + L"/" + walk->name + L"/" + std::to_wstring(lang));
    return TRUE;
}

BOOL CALLBACK OnName(HMODULE m, LPCWSTR type, LPWSTR name, LONG_PTR w) {
    reinterpret_cast<ResourceWalk*>(w)->name = ResourceName(name);
    return EnumResourceLanguagesW(m, type, name, OnLanguage, w);
}

BOOL CALLBACK OnType(HMODULE m, LPWSTR type, LONG_PTR w) {
    reinterpret_cast<ResourceWalk*>(w)->type = ResourceName(type);
    return EnumResourceNamesW(m, type, OnName, w);
}

TEST_F(ShippedResources, AreTheTypeLibraryTheInterfaceIdentifierAndTheVersion) {
    ResourceWalk walk;
    EnumResourceTypesW(module_, OnType, reinterpret_cast<LONG_PTR>(&walk));
    const std::set<std::wstring>& all = walk.all;
    EXPECT_EQ((std::set<std::wstring>{L"TYPELIB/#1/0", L"_IID_CLSMACHINE/#1/0",
                                      L"#16/#1/2052"}),  // RT_VERSION, 0x0804
              all);

    const std::vector<unsigned char> iid = {0x10, 0x00, 0x00, 0x00, 0x3F, 0x39, 0x84,
                                            0xDC, 0x80, 0x98, 0x19, 0x4B, 0xAC, 0x13,
                                            0xB0, 0xC7, 0x27, 0x43, 0xC5, 0xF6};
    EXPECT_EQ(iid, qt::ResourceBytes(module_, L"_IID_CLSMACHINE", 1, 0));
}

// The version resource's blocks as "path=value" lines; binary values as 16-bit hex words.
void WalkVersion(const std::vector<unsigned char>& b, size_t at, size_t end,
                 const std::string& parent, std::vector<std::string>& out) {
    while (at + 6 <= end) {
        const WORD length = At<WORD>(b, at), valueLength = At<WORD>(b, at + 2),
                   text = At<WORD>(b, at + 4);
        if (length == 0) break;
        std::string key;
        size_t p = at + 6;
        for (; p + 2 <= end && At<WORD>(b, p); p += 2) key += char(At<WORD>(b, p));
        size_t value = (p + 2 + 3) & ~size_t(3);
        size_t valueBytes = text ? valueLength * 2u : valueLength;
        std::string rendered;
        if (text) {
            for (size_t q = value; q < value + valueBytes && At<WORD>(b, q); q += 2)
                rendered += char(At<WORD>(b, q));
        } else if (!parent.empty()) {
            char word[8];
            for (size_t q = value; q + 2 <= value + valueBytes; q += 2) {
                std::snprintf(word, sizeof word, "%s%04x", q == value ? "" : " ", At<WORD>(b, q));
                rendered += word;
            }
        }
        const std::string path = parent.empty() ? key : parent + "/" + key;
        const size_t children = (value + valueBytes + 3) & ~size_t(3);
        if (valueBytes > 0 || children >= at + length) out.push_back(path + "=" + rendered);
        WalkVersion(b, children, at + length, path, out);
        at = (at + length + 3) & ~size_t(3);
    }
}

TEST_F(ShippedResources, VersionResourceSaysExactlyWhatTheProductIs) {
    const std::vector<unsigned char> version = qt::ResourceBytes(module_, RT_VERSION, 1, 0x0804);
    ASSERT_GT(version.size(), 40u + sizeof(VS_FIXEDFILEINFO));
    const auto fixed = At<VS_FIXEDFILEINFO>(version, 40);  // after "VS_VERSION_INFO" and padding
    EXPECT_EQ(0xFEEF04BDu, fixed.dwSignature);
    EXPECT_EQ(0x00080047u, fixed.dwFileVersionMS);  // 8.71
    EXPECT_EQ(0u, fixed.dwFileVersionLS);           // .0.0
    EXPECT_EQ(0x00080047u, fixed.dwProductVersionMS);
    EXPECT_EQ(0u, fixed.dwProductVersionLS);
    EXPECT_EQ(0u, fixed.dwFileFlags);
    EXPECT_EQ(4u, fixed.dwFileOS);
    EXPECT_EQ(2u, fixed.dwFileType);
    EXPECT_EQ(0u, fixed.dwFileSubtype);
    EXPECT_EQ(0u, fixed.dwFileDateMS);
    EXPECT_EQ(0u, fixed.dwFileDateLS);

    std::vector<std::string> blocks;
    WalkVersion(version, 0, version.size(), "", blocks);
    EXPECT_EQ((std::vector<std::string>{
                  "VS_VERSION_INFO=", "VS_VERSION_INFO/StringFileInfo/080404B0/CompanyName=Quorin",
                  "VS_VERSION_INFO/StringFileInfo/080404B0/ProductName=local_Quorin",
                  "VS_VERSION_INFO/StringFileInfo/080404B0/FileVersion=8.71",
                  "VS_VERSION_INFO/StringFileInfo/080404B0/ProductVersion=8.71",
                  "VS_VERSION_INFO/StringFileInfo/080404B0/InternalName=Quorin",
                  "VS_VERSION_INFO/StringFileInfo/080404B0/OriginalFilename=Quorin.dll",
                  "VS_VERSION_INFO/StringFileInfo/080404B0/OLESelfRegister=",
                  "VS_VERSION_INFO/VarFileInfo/Translation=0804 04b0"}),
              blocks);
}

TEST_F(ShippedResources, TypeLibraryReadBackFromTheFile) {
    const qt::RawTypeLib raw = qt::ReadRawTypeLib(qt::ResourceBytes(module_, L"TYPELIB", 1, 0));
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLibEx((path_ + L"\\1").c_str(), REGKIND_NONE, lib.put()));
    qt::ExpectQuorinLibrary(lib.get(), raw, 4);
}

}  // namespace
