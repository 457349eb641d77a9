// What every test program shares: the driver created as the host creates it, and small helpers
// for strings, variants, collections and reference counts.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "contract.h"
#include "com/com.h"
#include "com/variant.h"
#include "standins/clock/scenario.h"
#include "com/text.h"

namespace qt {

using quorin::Bstr;
using quorin::ComPtr;
using quorin::Variant;

// A new clsMachine, created by its ProgID through COM, asked for IMachine.
ComPtr<IMachine> CreateDriver();
// The same object's default interface.
ComPtr<_clsMachine> DefaultInterface(IMachine* machine);

// The current reference count of an object (AddRef, then Release).
ULONG RefCount(IUnknown* object);

// A new, empty collection of the registered automation Collection class.
ComPtr<_Collection> NewCollection();
long CountOf(_Collection* col);
// Item i (1-based) of a collection, as a dispatch pointer (empty when it is not an object).
ComPtr<IDispatch> ItemOf(_Collection* col, long i);
// How many distinct objects (by their IUnknown) the collection's items are.
size_t DistinctObjects(_Collection* col);

std::wstring Text(BSTR s);
using quorin::Utf8;

// A folder of this test program's own among the temporary files, made on first use; a path of that
// name in it, with no file there; the same with the text written to it.
std::wstring TempFolder();
std::wstring TempPath(const std::wstring& name);
std::wstring TempFile(const std::wstring& name, const std::string& text);

// What the host got back from one operation call, and what the device was asked meanwhile: the
// outcome every test program compares. `result` is 1, neither True nor False, until the call
// writes it; `records` is what the test counted in the collection, -1 for none counted.
struct Outcome {
    HRESULT hr = E_UNEXPECTED;
    VARIANT_BOOL result = 1;
    std::wstring msg;
    std::string device;
    long records = -1;
    bool operator==(const Outcome& o) const {
        return hr == o.hr && result == o.result && msg == o.msg && device == o.device &&
               records == o.records;
    }
};
void PrintTo(const Outcome& o, std::ostream* os);

// What a failed download leaves in strMsg for this machine number.
std::wstring DownloadFailureMessage(const std::wstring& number);

// Arguments as a late-bound caller passes them: views that own nothing (com/variant.h).
namespace view = quorin::view;

// The dispatch identifier of a name, or the failing HRESULT.
DISPID IdOf(IDispatch* d, const wchar_t* name);

// Invokes a method by name with its arguments in call order; the result converted to Boolean
// (1, neither True nor False, when none came back).
HRESULT CallByName(IDispatch* d, const wchar_t* name, std::vector<VARIANT> args,
                   VARIANT_BOOL* result, EXCEPINFO* excep = nullptr, UINT* argErr = nullptr);

// Runs body on a new thread in an apartment of its own, which ends with the thread and takes the
// apartment's device control with it.
template <class F>
void InFreshApartment(F body) {
    std::thread([&] {
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        body();
        CoUninitialize();
    }).join();
}

// The simulated clock, reset to an empty device with no calls recorded.
clocksim::Scenario& FreshClock();

// ConnectSerial answers False while the link to the device is made all the same, as when the
// device's reply is lost on the line: for operations that go on whatever it answers.
void ConnectAnswersFalse(clocksim::Scenario& clock);

// A compact rendering of a call sequence: "ConnectSerial(1,1,38400) ConnectSerial(1,2,38400)", by
// reference "&value"; a call the control does not know by its dispatch identifier.
std::string CallTrace(const std::vector<clocksim::CallRecord>& calls);

}  // namespace qt
