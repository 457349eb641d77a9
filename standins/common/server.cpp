#include "standins/common/server.h"

#include <atomic>

#include "driver/com.h"

namespace standins {

namespace {

std::atomic<long> g_moduleRefs{0};

// One factory object per class entry; the entries live in the server's static table, so a
// factory is cheap to make per request and carries only what to create.
class Factory final : public ServerObject<Factory, Exposes<IClassFactory, IID_IClassFactory>> {
  public:
    explicit Factory(HRESULT (*create)(REFIID, void**)) : create_(create) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return create_(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ModuleAddRef();
        else
            ModuleRelease();
        return S_OK;
    }

  private:
    HRESULT (*create_)(REFIID, void**);
};

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

LONG SetValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc;
}

std::wstring ClassKey(const ClassEntry& c) {
    return L"Software\\Classes\\CLSID\\" + GuidText(c.clsid);
}
std::wstring ProgIdKey(const ClassEntry& c) {
    return std::wstring(L"Software\\Classes\\") + c.progId;
}

// The table of a server's classes, walked with a range-for.
struct Classes {
    const ClassEntry* first;
    size_t count;
    const ClassEntry* begin() const { return first; }
    const ClassEntry* end() const { return first + count; }
};

HRESULT FromWin32(LONG rc) {
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

LONG WriteClassKeys(const ClassEntry& c, const std::wstring& path) {
    const std::wstring cls = ClassKey(c);
    const std::wstring server = cls + L"\\InprocServer32";
    LONG rc = SetValue(cls, nullptr, c.friendlyName);
    if (rc == ERROR_SUCCESS) rc = SetValue(server, nullptr, path);
    if (rc == ERROR_SUCCESS) rc = SetValue(server, L"ThreadingModel", L"Apartment");
    if (rc == ERROR_SUCCESS) rc = SetValue(cls + L"\\ProgID", nullptr, c.progId);
    if (rc == ERROR_SUCCESS) rc = SetValue(ProgIdKey(c), nullptr, c.friendlyName);
    if (rc == ERROR_SUCCESS) rc = SetValue(ProgIdKey(c) + L"\\CLSID", nullptr, GuidText(c.clsid));
    return rc;
}

}  // namespace

void ModuleAddRef() {
    ++g_moduleRefs;
}
void ModuleRelease() {
    --g_moduleRefs;
}
HRESULT CanUnloadNow() {
    return g_moduleRefs.load() == 0 ? S_OK : S_FALSE;
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

HRESULT GetClassObject(const ClassEntry* classes, size_t count, REFCLSID clsid, REFIID riid,
                       void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (const ClassEntry& c : Classes{classes, count}) {
        if (c.clsid != clsid) continue;
        auto* factory = new Factory(c.create);
        HRESULT hr = factory->QueryInterface(riid, ppv);
        factory->Release();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT RegisterClasses(const ClassEntry* classes, size_t count) {
    const std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    for (const ClassEntry& c : Classes{classes, count}) {
        LONG rc = WriteClassKeys(c, path);
        if (rc != ERROR_SUCCESS) {
            UnregisterClasses(classes, count);
            return FromWin32(rc);
        }
    }
    return S_OK;
}

HRESULT UnregisterClasses(const ClassEntry* classes, size_t count) {
    HRESULT result = S_OK;
    for (const ClassEntry& c : Classes{classes, count}) {
        for (const std::wstring& key : {ClassKey(c), ProgIdKey(c)}) {
            LONG rc = RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && result == S_OK)
                result = FromWin32(rc);
        }
    }
    return result;
}

HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* source,
                    const std::wstring& description) {
    if (description.empty()) {
        SetErrorInfo(0, nullptr);
        return hr;
    }
    quorin::ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return hr;
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    quorin::ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.query(info))) SetErrorInfo(0, info.get());
    return hr;
}

HRESULT ToDispatchException(HRESULT hr, EXCEPINFO* excep) {
    if (!excep) return hr;
    *excep = EXCEPINFO{};
    excep->scode = hr;
    quorin::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        info->GetDescription(&excep->bstrDescription);
        info->GetSource(&excep->bstrSource);
    }
    return DISP_E_EXCEPTION;
}

bool IsMissing(const VARIANT* v) {
    return !v || (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND);
}

}  // namespace standins
