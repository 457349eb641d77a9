#include "tools/console/console.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <optional>

#include "com/text.h"
#include "tools/console/classes.h"
#include "tools/console/number.h"

namespace console {

using quorin::Bstr;
using quorin::ComPtr;
using quorin::Variant;

namespace {

void Write(FILE* to, const std::wstring& text) {
    const std::string bytes = quorin::Utf8(text);
    fwrite(bytes.data(), 1, bytes.size(), to);
    fflush(to);
}

}  // namespace

void Print(const std::wstring& text) {
    Write(stdout, text);
}

void PrintError(const std::wstring& text) {
    Write(stderr, text);
}

int UsageError(const std::wstring& what, const wchar_t* usage) {
    PrintError(L"quorin-host: " + what + L"\nusage: " + usage +
               L"\n(quorin-host --help tells more)\n");
    return 2;
}

bool ReadNumbers(wchar_t** argv, const std::vector<const wchar_t*>& names, short* numbers,
                 const wchar_t* usage) {
    for (const wchar_t* name : names) {
        const std::optional<short> number = ParseNumber(*argv);
        if (!number) {
            UsageError(std::wstring(name) + L" is \"" + *argv + L"\", not a whole number from " +
                           std::to_wstring(kNumberMin) + L" to " + std::to_wstring(kNumberMax),
                       usage);
            return false;
        }
        *numbers++ = *number;
        ++argv;
    }
    return true;
}

std::wstring Text(const VARIANT* v) {
    Variant text;
    if (FAILED(
            VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(v), LOCALE_INVARIANT, 0, VT_BSTR)))
        return L"?";
    return std::wstring(V_BSTR(text.get()), SysStringLen(V_BSTR(text.get())));
}

ComPtr<IMachine> CreateDriver() {
    ComPtr<IMachine> machine;
    const HRESULT hr = Create(kDriver, __uuidof(IMachine), machine.put_void());
    if (FAILED(hr)) PrintError(CannotCreate(kDriver, hr));
    return machine;
}

HRESULT Scan(IMachine* machine, const short range[4], VARIANT_BOOL* ok, Bstr* msg,
             std::vector<Found>* found) {
    ComPtr<_Collection> col;
    Bstr none(L"");
    *msg = Bstr(L"");
    *ok = VARIANT_FALSE;
    const HRESULT hr =
        machine->funcRegister(col.put(), VARIANT_TRUE, range[0], range[1], none.get(), none.get(),
                              range[2], range[3], msg->inout(), ok);
    if (FAILED(hr) || !col) return hr;
    ForEachItem<_FoundMachine>(col.get(), [found](_FoundMachine* clock) {
        Found f;
        clock->get_Port(f.port.get());
        clock->get_MachineNo(f.machine.get());
        clock->get_MachineId(f.id.get());
        clock->get_Address(f.address.get());
        found->push_back(std::move(f));
    });
    return hr;
}

}  // namespace console
