// Run-time errors raised inside an operation. An operation's handler catches them; one that
// escapes a handler reaches the host as a failing HRESULT with COM error information.
#pragma once

#include <windows.h>

#include <memory>
#include <new>
#include <optional>
#include <string>

namespace quorin {

// The run-time error numbers the component raises itself.
enum class VbError : int {
    OutOfMemory = 7,
    Overflow = 6,
    SubscriptOutOfRange = 9,
    TypeMismatch = 13,
    ObjectNotSet = 91,
    InvalidUseOfNull = 94,
};

// A run-time error: its HRESULT and its description. The text is shared, so that a copy
// (classifying a caught error, keeping it for the handler) never allocates: where memory has run
// out, the error must still reach the handler.
class RaisedError {
  public:
    RaisedError(HRESULT hr, std::wstring description)
        : hr_(hr), description_(std::make_shared<const std::wstring>(std::move(description))) {}

    // The run-time error 7, "Out of memory", made without allocating: its text is made once,
    // when the module loads.
    static RaisedError OutOfMemory() noexcept;

    HRESULT hr() const { return hr_; }
    const std::wstring& description() const { return *description_; }

  private:
    RaisedError(HRESULT hr, std::shared_ptr<const std::wstring> description) noexcept
        : hr_(hr), description_(std::move(description)) {}

    HRESULT hr_;
    std::shared_ptr<const std::wstring> description_;
};

// The HRESULT that carries run-time error n (facility control, as automation servers use).
constexpr HRESULT VbErrorHresult(VbError e) {
    return static_cast<HRESULT>(0x800A0000u | static_cast<unsigned>(e));
}

// The standard text of one of the component's own errors ("Overflow", "Type mismatch", ...).
const wchar_t* VbErrorText(VbError e);

[[noreturn]] void Raise(VbError e);

// The error of a failed call on another object: the description that object left as the thread's
// error information (taken from the thread), else the system's text for the HRESULT.
RaisedError HresultError(HRESULT hr);

// Raises HresultError(hr).
[[noreturn]] void RaiseHresult(HRESULT hr);

// Raises when hr is a failure; returns otherwise.
inline void Check(HRESULT hr) {
    if (FAILED(hr)) RaiseHresult(hr);
}

// The system's text for an HRESULT, without the trailing line break: from the system's message
// tables, else the kept text, else "Automation error 0x...".
std::wstring SystemMessage(HRESULT hr);

// The text kept for one of the COM and automation failures a call on another object most often
// reports, for systems whose message tables lack it; null for the others.
const wchar_t* KeptErrorText(HRESULT hr);

// Leaves the description as the thread's COM error information, for the caller of the method that
// is failing.
void PublishErrorInfo(REFGUID guid, const wchar_t* source, const std::wstring& description);

// The error a caught exception stands for, asked inside a catch block: a RaisedError as it is,
// no memory (what the standard library throws) as the run-time "Out of memory", anything else
// E_UNEXPECTED with its text. The one classification of what an operation or its handler throws.
RaisedError CaughtError();

// Runs body; the error it threw, classified by CaughtError, or nothing when it returned.
template <class Body>
std::optional<RaisedError> ErrorOf(Body&& body) {
    try {
        body();
    } catch (...) {
        return CaughtError();
    }
    return std::nullopt;
}

// Runs the body of a COM method or an export and answers its HRESULT. Nothing may unwind through
// such a method into its caller, whose runtime is not ours: what the standard library throws
// (no memory for a string or a list) ends the call with E_OUTOFMEMORY, anything else with
// E_UNEXPECTED.
template <class Body>
HRESULT NoThrow(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The HRESULT of a registry or other Win32 result code.
inline HRESULT FromWin32(LONG rc) {
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

}  // namespace quorin
