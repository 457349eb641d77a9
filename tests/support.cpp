#include "tests/support.h"

#include <cstring>
#include <set>
#include <sstream>

namespace qt {

ComPtr<IMachine> CreateDriver() {
    CLSID clsid{};
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"Quorin.clsMachine", &clsid));
    ComPtr<IMachine> machine;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IMachine),
                                  machine.put_void());
    EXPECT_EQ(S_OK, hr);
    return machine;
}

ComPtr<_clsMachine> DefaultInterface(IMachine* machine) {
    ComPtr<_clsMachine> def;
    EXPECT_EQ(S_OK, machine->QueryInterface(__uuidof(_clsMachine), def.put_void()));
    return def;
}

ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

ComPtr<_Collection> NewCollection() {
    CLSID clsid{};
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"VBA.Collection", &clsid));
    ComPtr<_Collection> col;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(_Collection),
                                     col.put_void()));
    return col;
}

long CountOf(_Collection* col) {
    long n = -1;
    EXPECT_EQ(S_OK, col->Count(&n));
    return n;
}

ComPtr<IDispatch> ItemOf(_Collection* col, long i) {
    Variant index = Variant::I4(i), item;
    EXPECT_EQ(S_OK, col->Item(index.get(), item.get()));
    if (V_VT(item.get()) != VT_DISPATCH) return {};
    return ComPtr<IDispatch>(V_DISPATCH(item.get()));
}

size_t DistinctObjects(_Collection* col) {
    std::set<IUnknown*> objects;
    for (long i = 1; i <= CountOf(col); ++i) {
        ComPtr<IDispatch> item = ItemOf(col, i);
        ComPtr<IUnknown> identity;
        if (item && SUCCEEDED(item.query(identity))) objects.insert(identity.get());
    }
    return objects.size();
}

std::wstring Text(BSTR s) {
    return s ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

DISPID IdOf(IDispatch* d, const wchar_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return hr == S_OK ? id : hr;
}

HRESULT CallByName(IDispatch* d, const wchar_t* name, std::vector<VARIANT> args,
                   VARIANT_BOOL* result, EXCEPINFO* excep, UINT* argErr) {
    DISPID id = IdOf(d, name);
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params = {reversed.data(), nullptr, UINT(reversed.size()), 0};
    Variant answer;
    UINT unused = 0;
    HRESULT hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                           answer.get(), excep, argErr ? argErr : &unused);
    *result = V_VT(answer.get()) == VT_BOOL ? V_BOOL(answer.get()) : VARIANT_BOOL(1);
    // The caller's argument array is the caller's: whatever the callee rewrote for the call (a
    // script's variable handed over in another type) is back as it was passed, type and pointer.
    for (size_t i = 0; i < args.size(); ++i) {
        const VARIANT& now = reversed[args.size() - 1 - i];
        EXPECT_EQ(0, std::memcmp(&now, &args[i], sizeof(VARIANT)))
            << Utf8(name) << ": argument " << i + 1 << " was passed as type 0x" << std::hex
            << V_VT(&args[i]) << " at " << V_BYREF(&args[i]) << " and is now type 0x" << V_VT(&now)
            << " at " << V_BYREF(&now);
    }
    return hr;
}

// "编号为" + number + "的考勤机不能下载刷卡数据！ ", code unit by code unit.
std::wstring DownloadFailureMessage(const std::wstring& number) {
    const wchar_t head[] = {0x7F16, 0x53F7, 0x4E3A, 0};
    const wchar_t tail[] = {0x7684, 0x8003, 0x52E4, 0x673A, 0x4E0D, 0x80FD, 0x4E0B, 0x8F7D,
                            0x5237, 0x5361, 0x6570, 0x636E, 0xFF01, 0x0020, 0};
    return head + number + tail;
}

std::wstring TempFolder() {
    static const std::wstring folder = [] {
        wchar_t dir[MAX_PATH];
        EXPECT_NE(0u, GetTempPathW(MAX_PATH, dir));
        std::wstring made =
            std::wstring(dir) + L"quorin-test-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(made.c_str(), nullptr);
        return made;
    }();
    return folder;
}

std::wstring TempPath(const std::wstring& name) {
    const std::wstring path = TempFolder() + L"\\" + name;
    DeleteFileW(path.c_str());
    return path;
}

std::wstring TempFile(const std::wstring& name, const std::string& text) {
    const std::wstring path = TempPath(name);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    CloseHandle(file);
    return path;
}

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "hr=0x" << std::hex << static_cast<unsigned long>(o.hr) << std::dec
        << " result=" << o.result << " msg=\"" << Utf8(o.msg) << "\" records=" << o.records
        << " device=[" << o.device << "]";
}

clocksim::Scenario& FreshClock() {
    clocksim::Scenario& s = *ClockScenario();
    s.Reset();
    return s;
}

void ConnectAnswersFalse(clocksim::Scenario& clock) {
    clock.SetResult(clocksim::kConnectSerial, *Variant::Bool(false).get());
}

std::string CallTrace(const std::vector<clocksim::CallRecord>& calls) {
    std::ostringstream out;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (i) out << ' ';
        const char* name = clocksim::CallName(calls[i].dispid);
        if (name)
            out << name << '(';
        else
            out << calls[i].dispid << '(';
        for (size_t a = 0; a < calls[i].args.size(); ++a) {
            if (a) out << ',';
            if (calls[i].args[a].vt & VT_BYREF) out << '&';
            out << calls[i].args[a].value;
        }
        out << ')';
    }
    return out.str();
}

}  // namespace qt

// Every test program runs on one single-threaded apartment, like the host's main thread.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (FAILED(CoInitialize(nullptr))) return 1;
    int rc = RUN_ALL_TESTS();
    CoUninitialize();
    return rc;
}
