// The driver's type library as a host's tools read it: through the platform's type-library
// interfaces, and from the compiled file itself for what those do not show (which libraries it
// imports, and which type each imported reference names).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace qt {

// The bytes of one resource of a module, empty when it is missing.
std::vector<unsigned char> ResourceBytes(HMODULE module, const wchar_t* type, WORD id, WORD lang);

// What the compiled form (MSFT) of a type library says about itself and its imports.
struct RawTypeLib {
    struct Library {
        std::wstring guid;  // "{...}"
        LCID lcid;
        WORD major, minor;
        std::string file;
    };
    struct Type {
        std::wstring guid;
        int library;  // index into libraries
    };
    bool parsed = false;
    int syskind = -1;
    std::wstring libid;
    LCID lcid = 0xFFFFFFFF;
    DWORD version = 0, flags = 0;
    int helpString = 0, helpFile = 0, typeInfos = 0;
    std::vector<Library> libraries;
    std::vector<Type> types;  // in the order of the import table; a reference names its offset

    // The GUID of the imported type that a reference (HREFTYPE with the low bit set) names.
    std::wstring ImportedType(HREFTYPE ref) const;
};

RawTypeLib ReadRawTypeLib(const std::vector<unsigned char>& bytes);

// Every check of the library Quorin 1.0, built for pointers of pointerSize bytes.
void ExpectQuorinLibrary(ITypeLib* lib, const RawTypeLib& raw, unsigned pointerSize);

std::wstring GuidString(const GUID& guid);

}  // namespace qt
