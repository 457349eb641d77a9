// The classes that the driver and the console create through COM, as support meets them: what
// each is, how its registration looks from this process, and how a missing one is put back.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <optional>
#include <string>

namespace console {

struct ReachedClass {
    const wchar_t* name;    // what support calls it: its ProgID or its class name
    const wchar_t* kind;    // "driver", "record class", "collection class", "device control"
    const wchar_t* what;    // what it is, in a sentence
    const wchar_t* progId;  // created by this ProgID, as the host creates the driver; else by CLSID
    GUID clsid;             // the class the driver (or the ProgID) means
    const wchar_t* remedy;  // how to install or register it
};

extern const ReachedClass kDriver;
extern const ReachedClass kCardRecord;
extern const ReachedClass kFoundMachine;
extern const ReachedClass kCollection;
extern const ReachedClass kDeviceControl;

// The registry view this process reads, for the words: "the registry's 32-bit view", ...
std::wstring ViewName();

// "0x80040154 Class not registered": an HRESULT and the system's text for it.
std::wstring HresultText(HRESULT hr);

// A text value (nullptr: the key's default value) in this process's view, REG_EXPAND_SZ
// expanded; nothing when the key or the value is missing. `view` may name the other view.
std::optional<std::wstring> RegistryText(HKEY root, const std::wstring& key, const wchar_t* name,
                                         REGSAM view = 0);

bool FileExists(const std::wstring& path);

// How the class is registered in this process's view.
struct Registration {
    std::wstring trouble;              // why it is not registered as it should be; empty when it is
    GUID clsid{};                      // the class its ProgID leads to (or its own)
    std::optional<std::wstring> file;  // its InprocServer32, as registered
};
Registration Lookup(const ReachedClass& c);
// What is wrong with a registration, its file included; empty when nothing is.
std::wstring Trouble(const Registration& r);

// Which regsvr32 registers for a process of this kind, where there are two; else empty.
std::wstring RegisterNote();

// Creates an object of the class in process.
HRESULT Create(const ReachedClass& c, REFIID iid, void** object);

// What the console says when the class cannot be created or reached: which class, what it is,
// the HRESULT with its text, what is wrong with its registration, and what to do.
std::wstring CannotCreate(const ReachedClass& c, HRESULT hr);

// After an operation answered False: tells on standard error which of the classes the driver
// needs for it cannot be created, and nothing when all can.
void TellMissing(std::initializer_list<const ReachedClass*> needed);

// An operation whose call failed: its HRESULT with its text on standard error, then which of the
// classes it needs cannot be created. Returns 1, the exit code.
int CallFailed(const wchar_t* operation, HRESULT hr,
               std::initializer_list<const ReachedClass*> needed);

}  // namespace console
