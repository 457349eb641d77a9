#include "com/errors.h"

#include <oleauto.h>

#include <cwchar>

#include "com/com.h"

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

void Raise(VbError e) {
    throw RaisedError(VbErrorHresult(e), VbErrorText(e));
}

const wchar_t* KeptErrorText(HRESULT hr) {
    switch (hr) {
        case E_FAIL:
            return L"Unspecified error";
        case E_NOTIMPL:
            return L"Not implemented";
        case E_NOINTERFACE:
            return L"No such interface supported";
        case E_POINTER:
            return L"Invalid pointer";
        case E_OUTOFMEMORY:
            return L"Not enough memory resources are available to complete this operation";
        case E_INVALIDARG:
            return L"The parameter is incorrect";
        case E_ACCESSDENIED:
            return L"Access is denied";
        case E_UNEXPECTED:
            return L"Catastrophic failure";
        case REGDB_E_CLASSNOTREG:
            return L"Class not registered";
        case CO_E_CLASSSTRING:
            return L"Invalid class string";
        case CO_E_ERRORINDLL:
            return L"Error in the DLL";
        case TYPE_E_LIBNOTREGISTERED:
            return L"Library not registered";
        case TYPE_E_CANTLOADLIBRARY:
            return L"Error loading type library/DLL";
        case CLASS_E_NOAGGREGATION:
            return L"Class does not support aggregation";
        case CO_E_NOTINITIALIZED:
            return L"CoInitialize has not been called";
        case DISP_E_MEMBERNOTFOUND:
            return L"Member not found";
        case DISP_E_PARAMNOTFOUND:
            return L"Parameter not found";
        case DISP_E_TYPEMISMATCH:
            return L"Type mismatch";
        case DISP_E_UNKNOWNNAME:
            return L"Unknown name";
        case DISP_E_BADPARAMCOUNT:
            return L"Invalid number of parameters";
        case DISP_E_PARAMNOTOPTIONAL:
            return L"Parameter not optional";
        case DISP_E_OVERFLOW:
            return L"Out of present range";
        case DISP_E_BADINDEX:
            return L"Invalid index";
        case DISP_E_EXCEPTION:
            return L"Exception occurred";
        default:
            return nullptr;
    }
}

std::wstring SystemMessage(HRESULT hr) {
    LocalMemory text;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
    std::wstring out;
    if (n && text) out.assign(static_cast<const wchar_t*>(text.get()), n);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' '))
        out.pop_back();
    if (out.empty() && KeptErrorText(hr)) out = KeptErrorText(hr);
    if (out.empty()) {
        wchar_t buf[64];
        swprintf(buf, 64, L"Automation error 0x%08lX", static_cast<unsigned long>(hr));
        out = buf;
    }
    return out;
}

RaisedError HresultError(HRESULT hr) {
    std::wstring description;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info) {
        Bstr text;
        if (SUCCEEDED(info->GetDescription(text.put())) && text.length() > 0)
            description.assign(text.get(), text.length());
    }
    if (description.empty()) description = SystemMessage(hr);
    return RaisedError(hr, std::move(description));
}

void RaiseHresult(HRESULT hr) {
    throw HresultError(hr);
}

namespace {
const std::shared_ptr<const std::wstring> kOutOfMemoryText =
    std::make_shared<const std::wstring>(VbErrorText(VbError::OutOfMemory));

// E_UNEXPECTED with the system's text, or out of memory where the text cannot be had.
RaisedError UnexpectedError() noexcept {
    try {
        return RaisedError(E_UNEXPECTED, SystemMessage(E_UNEXPECTED));
    } catch (...) {
        return RaisedError::OutOfMemory();
    }
}
}  // namespace

RaisedError RaisedError::OutOfMemory() noexcept {
    return RaisedError(VbErrorHresult(VbError::OutOfMemory), kOutOfMemoryText);
}

RaisedError CaughtError() {
    try {
        throw;
    } catch (const RaisedError& error) {
        return error;
    } catch (const std::bad_alloc&) {
        return RaisedError::OutOfMemory();
    } catch (...) {
        return UnexpectedError();
    }
}

void PublishErrorInfo(REFGUID guid, const wchar_t* source, const std::wstring& description) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return;
    create->SetGUID(guid);
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.query(info))) SetErrorInfo(0, info.get());
}

}  // namespace quorin
