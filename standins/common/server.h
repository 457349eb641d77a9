// The parts of an in-process server that every stand-in needs: its classes served through the
// class factory of com/object.h, registration under HKLM, and COM error information for failures.
// The objects are written with com/object.h, whose module lock answers DllCanUnloadNow.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstddef>
#include <string>

namespace standins {

// One creatable class of a server.
struct ClassEntry {
    GUID clsid;
    const wchar_t* progId;
    const wchar_t* friendlyName;
    // Creates a new object and asks it for riid.
    HRESULT (*create)(REFIID riid, void** ppv);
};

// What a stand-in server serves: its classes, and what it registers besides them (its type
// library), if anything. `registerMore` runs before the classes are written or removed; a failure
// stops registering, while unregistering goes on. `classObject`, if any, answers DllGetClassObject
// for a class of the table in place of the plain class factory (to count or refuse them).
struct Server {
    const ClassEntry* classes;
    size_t count;
    HRESULT (*registerMore)(bool registering);
    HRESULT (*classObject)(const ClassEntry& entry, REFIID riid, void** ppv);
};

// Each stand-in DLL defines its server, and server.cpp answers the four exports from it:
// DllGetClassObject over the classes, DllCanUnloadNow from the module lock, and registration of
// HKLM\Software\Classes\CLSID\{clsid} (friendly name, InprocServer32 = this module,
// ThreadingModel Apartment, ProgID) and the ProgID key for each class, nothing left half written
// when a step fails.
extern const Server kServer;

// Publishes a failure as the thread's COM error information and returns hr. An empty
// description clears the thread's error information instead, so that no stale text is taken
// for this failure's.
HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* source, const std::wstring& description);

// Fills an EXCEPINFO from the thread's error information after a method failed with hr, for
// Invoke; returns DISP_E_EXCEPTION when it did, else hr.
HRESULT ToDispatchException(HRESULT hr, EXCEPINFO* info);

// Whether an optional argument was left out: no pointer, or VT_ERROR holding
// DISP_E_PARAMNOTFOUND as automation passes a missing argument.
bool IsMissing(const VARIANT* v);

}  // namespace standins
