// Test hooks of the stand-in host record classes (PeltMachine.dll): the journal of every put
// accessor call, live objects and class objects, and failures to inject into puts, creations and
// class objects.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#ifdef PELTMACHINE_BUILD
#define PELTMACHINE_API __declspec(dllexport)
#else
#define PELTMACHINE_API __declspec(dllimport)
#endif

// One put accessor call, failed ones included.
struct PutRecord {
    int object = 0;         // serial number of the record object: 1, 2, ... in creation order
    std::wstring property;  // "MachineNo", "PersonNo", ...
    VARTYPE vt = VT_EMPTY;  // the variant type received
    HRESULT hr = S_OK;      // what the accessor returned
};

inline bool operator==(const PutRecord& a, const PutRecord& b) {
    return a.object == b.object && a.property == b.property && a.vt == b.vt && a.hr == b.hr;
}

// The journal, oldest first. Read it while no put is in progress.
extern "C" PELTMACHINE_API const std::vector<PutRecord>* PeltJournal();

// Clears the journal and every injected failure, and restarts the serial numbers of new record
// objects at 1 (objects alive keep theirs).
extern "C" PELTMACHINE_API void PeltReset();

// Record objects (of either class) still alive.
extern "C" PELTMACHINE_API long PeltLiveRecords();

// Makes the nth put of `property` (0-based, counted from this call, on any object) fail with hr,
// leaving `description` as the thread's error information (none when empty or null). nth < 0
// makes every put of it fail. A new call for the same property replaces the earlier one.
extern "C" PELTMACHINE_API void PeltFailPut(const wchar_t* property, int nth, HRESULT hr,
                                            const wchar_t* description);

// Makes the nth creation of a record object (0-based, counted from this call, either class)
// fail with hr in the class factory; nth < 0 makes every creation fail until PeltReset.
extern "C" PELTMACHINE_API void PeltFailCreate(int nth, HRESULT hr);

// The record classes' ProgIDs, by which the probe names them.
inline constexpr wchar_t kPeltFoundMachine[] = L"PeltMachine.FoundMachine";
inline constexpr wchar_t kPeltCardRecord[] = L"PeltMachine.CardRecord";

// How often the class object of the class with that ProgID ("PeltMachine.CardRecord") was
// handed out since PeltReset: DllGetClassObject, which creation by CLSID asks each time too.
extern "C" PELTMACHINE_API long PeltClassObjectsServed(const wchar_t* progId);

// Class objects (of either class) still alive.
extern "C" PELTMACHINE_API long PeltLiveClassObjects();

// Makes every request for a class object (either class) fail with hr, as for a class that is not
// registered, until PeltReset; S_OK serves them again.
extern "C" PELTMACHINE_API void PeltFailClassObject(HRESULT hr);
