// quorin-host: a small host session. It creates the driver by its ProgID, obtains IMachine and
// runs one operation against whatever clock control is registered, printing what it got.
//
//   quorin-host discover <portMin> <portMax> <machineMin> <machineMax>
//   quorin-host download <port> <machine>
//   quorin-host backup <port> <machine> <person> <rowfile>
//   quorin-host restore <port> <machine> <person> <rowfile>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "contract.h"
#include "driver/com.h"
#include "tools/console/enrollment.h"

using quorin::Bstr;
using quorin::ComPtr;
using quorin::Variant;

namespace {

void Print(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
}

std::wstring Text(const VARIANT* v) {
    Variant text;
    if (FAILED(
            VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(v), LOCALE_INVARIANT, 0, VT_BSTR)))
        return L"?";
    return std::wstring(V_BSTR(text.get()), SysStringLen(V_BSTR(text.get())));
}

short Arg(wchar_t** argv, int i) {
    return static_cast<short>(_wtoi(argv[i]));
}

int Fail(const wchar_t* what, HRESULT hr) {
    wchar_t line[160];
    swprintf(line, 160, L"%ls failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    Print(line);
    return 1;
}

template <class F>
void ForEachItem(_Collection* col, F&& each) {
    long count = 0;
    col->Count(&count);
    for (long i = 1; i <= count; ++i) {
        VARIANT index;
        V_VT(&index) = VT_I4;
        V_I4(&index) = i;
        Variant item;
        if (FAILED(col->Item(&index, item.get())) || V_VT(item.get()) != VT_DISPATCH) continue;
        each(V_DISPATCH(item.get()));
    }
}

int Discover(IMachine* machine, int argc, wchar_t** argv) {
    if (argc != 6) {
        Print(L"usage: quorin-host discover <portMin> <portMax> <machineMin> <machineMax>\n");
        return 2;
    }
    ComPtr<_Collection> col;
    Bstr msg(L"");
    Bstr none(L"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr =
        machine->funcRegister(col.put(), VARIANT_TRUE, Arg(argv, 2), Arg(argv, 3), none.get(),
                              none.get(), Arg(argv, 4), Arg(argv, 5), msg.put(), &ok);
    if (FAILED(hr)) return Fail(L"funcRegister", hr);
    Print(std::wstring(L"funcRegister: ") + (ok ? L"True" : L"False") + L"\n");
    if (msg.length()) Print(L"message: " + std::wstring(msg.get(), msg.length()) + L"\n");
    if (!col) return ok ? 0 : 1;
    ForEachItem(col.get(), [](IDispatch* item) {
        ComPtr<_FoundMachine> found;
        if (FAILED(item->QueryInterface(__uuidof(_FoundMachine), found.put_void()))) return;
        Variant no, port, id;
        found->get_MachineNo(no.get());
        found->get_Port(port.get());
        found->get_MachineId(id.get());
        Print(L"  found: port " + Text(port.get()) + L", machine " + Text(no.get()) + L" (id " +
              Text(id.get()) + L")\n");
    });
    return ok ? 0 : 1;
}

// An automation date as yyyy-mm-dd hh:mm:ss.
std::wstring DateText(const VARIANT* v) {
    Variant date;
    SYSTEMTIME t{};
    if (FAILED(VariantChangeTypeEx(date.get(), const_cast<VARIANT*>(v), LOCALE_INVARIANT, 0,
                                   VT_DATE)) ||
        !VariantTimeToSystemTime(V_DATE(date.get()), &t))
        return L"?";
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
             t.wMinute, t.wSecond);
    return text;
}

int Download(IMachine* machine, int argc, wchar_t** argv) {
    if (argc != 4) {
        Print(L"usage: quorin-host download <port> <machine>\n");
        return 2;
    }
    CLSID clsid;
    ComPtr<_Collection> col;
    HRESULT hr = CLSIDFromProgID(L"VBA.Collection", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(_Collection),
                              col.put_void());
    if (FAILED(hr)) return Fail(L"creating a VBA.Collection", hr);
    Bstr msg(L"");
    Bstr none(L"");
    VARIANT_BOOL ok = VARIANT_FALSE;
    // The collection goes by reference; the driver appends to it and never replaces it.
    _Collection* cdata = col.detach();
    hr = machine->DownloadCarddata(VARIANT_TRUE, none.get(), Arg(argv, 2), Arg(argv, 3), &cdata,
                                   msg.inout(), &ok);
    col = ComPtr<_Collection>::adopt(cdata);
    if (FAILED(hr)) return Fail(L"DownloadCarddata", hr);
    ForEachItem(col.get(), [](IDispatch* item) {
        ComPtr<_CardRecord> card;
        if (FAILED(item->QueryInterface(__uuidof(_CardRecord), card.put_void()))) return;
        Variant person, time;
        card->get_PersonNo(person.get());
        card->get_SwipeTime(time.get());
        Print(L"  record: person " + Text(person.get()) + L", " + DateText(time.get()) + L"\n");
    });
    Print(std::wstring(L"DownloadCarddata: ") + (ok ? L"True" : L"False") + L"\n");
    if (msg.length()) Print(L"message: " + std::wstring(msg.get(), msg.length()) + L"\n");
    return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        Print(
            L"usage: quorin-host discover <portMin> <portMax> <machineMin> <machineMax>\n"
            L"       quorin-host download <port> <machine>\n"
            L"       quorin-host backup <port> <machine> <person> <rowfile>\n"
            L"       quorin-host restore <port> <machine> <person> <rowfile>\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr))) return 1;
    int rc = 0;
    {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"Quorin.clsMachine", &clsid);
        if (FAILED(hr)) return Fail(L"CLSIDFromProgID(Quorin.clsMachine)", hr);
        ComPtr<IMachine> machine;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IMachine),
                              machine.put_void());
        if (FAILED(hr)) return Fail(L"CoCreateInstance", hr);
        std::wstring command = argv[1];
        if (command == L"discover") {
            rc = Discover(machine.get(), argc, argv);
        } else if (command == L"download") {
            rc = Download(machine.get(), argc, argv);
        } else if (command == L"backup") {
            rc = BackupCommand(machine.get(), argc, argv);
        } else if (command == L"restore") {
            rc = RestoreCommand(machine.get(), argc, argv);
        } else {
            Print(L"unknown command: " + command + L"\n");
            rc = 2;
        }
    }
    CoUninitialize();
    return rc;
}
