// Test hooks of the stand-in automation Collection (VbCollection.dll).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <vector>

#ifdef VBCOLLECTION_BUILD
#define VBCOLLECTION_API __declspec(dllexport)
#else
#define VBCOLLECTION_API __declspec(dllimport)
#endif

// One Add call as received: the variant type of each argument (VT_ILLEGAL when no pointer was
// passed), the code that a VT_ERROR argument carries, and what Add returned.
struct AddRecord {
    VARTYPE item = VT_EMPTY;
    VARTYPE key = VT_EMPTY;
    VARTYPE before = VT_EMPTY;
    VARTYPE after = VT_EMPTY;
    SCODE keyScode = S_OK;
    SCODE beforeScode = S_OK;
    SCODE afterScode = S_OK;
    HRESULT hr = S_OK;
};

// Every Add of the process since the last VbCollectionResetJournal, oldest first. Read it while
// no Add is in progress.
extern "C" VBCOLLECTION_API const std::vector<AddRecord>* VbCollectionAddJournal();
extern "C" VBCOLLECTION_API void VbCollectionResetJournal();

// After n more successful Adds, on any collection of the process, every Add fails with hr and
// leaves the description "Collection is full" as the thread's error information, until the next
// call here. n < 0 lets every Add succeed again.
extern "C" VBCOLLECTION_API void VbCollectionFailAddAfter(long n, HRESULT hr);

// Collections of the process that are still alive.
extern "C" VBCOLLECTION_API long VbCollectionLiveObjects();
