// What the console's commands share: where their words go, how they read their arguments, the
// driver created as the host creates it, and a scan.
//
// Standard output carries what a command is run for (records, rows, the site check's report);
// usage errors, failures and every note go to standard error, so that with --format csv or json
// standard output holds the records alone.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "contract.h"
#include "com/com.h"
#include "com/variant.h"

namespace console {

void Print(const std::wstring& text);       // standard output
void PrintError(const std::wstring& text);  // standard error

// A usage error: what is wrong and the command's usage line on standard error; returns 2.
int UsageError(const std::wstring& what, const wchar_t* usage);

// Reads argv[0], argv[1], ... as the numbers named, into numbers[0], numbers[1], ...; false after
// telling which argument is wrong, with its value and the usage line (exit code 2 follows).
bool ReadNumbers(wchar_t** argv, const std::vector<const wchar_t*>& names, short* numbers,
                 const wchar_t* usage);

// A value as text, in the invariant locale ("?" when it has none).
std::wstring Text(const VARIANT* v);

// The driver, created by its ProgID and asked for IMachine as the host does; empty after telling
// on standard error what is missing and how to put it back.
quorin::ComPtr<IMachine> CreateDriver();

// Calls each(item) with each item of the collection that is an object of that interface.
template <class I, class F>
void ForEachItem(_Collection* col, F&& each) {
    long count = 0;
    col->Count(&count);
    for (long i = 1; i <= count; ++i) {
        quorin::Variant index = quorin::Variant::I4(i), item;
        quorin::ComPtr<I> object;
        if (SUCCEEDED(col->Item(index.get(), item.get())) && V_VT(item.get()) == VT_DISPATCH &&
            V_DISPATCH(item.get()) &&
            SUCCEEDED(V_DISPATCH(item.get())->QueryInterface(__uuidof(I), object.put_void())))
            each(object.get());
    }
}

// A clock that discovery found.
struct Found {
    quorin::Variant port, machine, id, address;
};
// funcRegister over ports range[0] to range[1] and machine numbers range[2] to range[3]: the
// HRESULT, with the result, the message and the clocks found.
HRESULT Scan(IMachine* machine, const short range[4], VARIANT_BOOL* ok, quorin::Bstr* msg,
             std::vector<Found>* found);

}  // namespace console
