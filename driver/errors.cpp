#include "driver/errors.h"

#include <oleauto.h>

#include <cwchar>

#include "driver/com.h"

namespace quorin {

const wchar_t* VbErrorText(VbError e) {
    switch (e) {
        case VbError::OutOfMemory:
            return L"Out of memory";
        case VbError::Overflow:
            return L"Overflow";
        case VbError::SubscriptOutOfRange:
            return L"Subscript out of range";
        case VbError::TypeMismatch:
            return L"Type mismatch";
        case VbError::ObjectNotSet:
            return L"Object variable or With block variable not set";
        case VbError::InvalidUseOfNull:
            return L"Invalid use of Null";
    }
    return L"Application-defined or object-defined error";
}

void Raise(VbError e) { throw RaisedError(VbErrorHresult(e), VbErrorText(e)); }

std::wstring SystemMessage(HRESULT hr) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out;
    if (n && text) out.assign(text, n);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' '))
        out.pop_back();
    if (out.empty()) {
        wchar_t buf[64];
        swprintf(buf, 64, L"Automation error 0x%08lX", static_cast<unsigned long>(hr));
        out = buf;
    }
    return out;
}

void RaiseHresult(HRESULT hr) {
    std::wstring description;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        Bstr text;
        if (SUCCEEDED(info->GetDescription(text.put())) && text.length() > 0)
            description.assign(text.get(), text.length());
    }
    if (description.empty()) description = SystemMessage(hr);
    throw RaisedError(hr, std::move(description));
}

HRESULT RaisedError::report() const {
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
        create->SetGUID(GUID_NULL);
        create->SetSource(const_cast<LPOLESTR>(L"Quorin.clsMachine"));
        create->SetDescription(const_cast<LPOLESTR>(description_.c_str()));
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create.query(info))) SetErrorInfo(0, info.get());
    }
    return FAILED(hr_) ? hr_ : E_FAIL;
}

}  // namespace quorin
