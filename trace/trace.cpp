#include "trace/trace.h"

#include "com/variant.h"
#include "com/text.h"

#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace quorin::trace {

// The file of one traced operation call, and the call's number in this process.
struct Sink {
    HANDLE file = INVALID_HANDLE_VALUE;
    unsigned long call = 0;

    Sink() = default;
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;
    ~Sink() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
};

namespace {

// The trace of the operation running on this thread (the innermost, during a yield).
thread_local Sink* t_current = nullptr;

// How many operations of the process are being traced. A device call looks at its thread's trace
// only when some are: off, it reads no thread-local slot (a library call in the 32-bit build).
std::atomic<long> g_traced{0};

std::atomic<unsigned long> g_calls{0};

// Taken by one line's write at a time.
SRWLOCK g_writing = SRWLOCK_INIT;

// Strings longer than this are cut: a line stays a line.
constexpr size_t kMaxTextChars = 1024;

std::string Printf(const char* format, ...) {
    char buffer[96];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer,
                       n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

std::string Hex(long value) {
    return Printf("0x%08lX", static_cast<unsigned long>(value));
}

// Text in double quotes, C-escaped, so that a line holds no line break or tab of its own.
std::string Quoted(const wchar_t* s, size_t n) {
    std::wstring out = L"\"";
    const size_t shown = n > kMaxTextChars ? kMaxTextChars : n;
    for (size_t i = 0; i < shown; ++i) {
        const wchar_t c = s[i];
        // The characters written as a backslash and a letter of their own, and those letters.
        static constexpr wchar_t kEscaped[] = L"\"\\\t\r\n", kLetters[] = L"\"\\trn";
        const wchar_t* escaped = c ? std::wcschr(kEscaped, c) : nullptr;
        if (escaped) {
            out += L'\\';
            out += kLetters[escaped - kEscaped];
        } else if (c < 0x20 || c == 0x7F) {
            wchar_t escape[8];
            swprintf(escape, 8, L"\\x%02X", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    out += L'"';
    std::string text = Utf8(out);
    if (shown < n) text += Printf("...(%lu characters)", static_cast<unsigned long>(n));
    return text;
}

std::string TypeName(VARTYPE vt) {
    static const struct {
        VARTYPE vt;
        const char* name;
    } kNames[] = {
        {VT_EMPTY, "EMPTY"},
        {VT_NULL, "NULL"},
        {VT_I2, "I2"},
        {VT_I4, "I4"},
        {VT_R4, "R4"},
        {VT_R8, "R8"},
        {VT_CY, "CY"},
        {VT_DATE, "DATE"},
        {VT_BSTR, "BSTR"},
        {VT_ERROR, "ERROR"},
        {VT_BOOL, "BOOL"},
        {VT_VARIANT, "VARIANT"},
        {VT_DISPATCH, "DISPATCH"},
        {VT_UNKNOWN, "UNKNOWN"},
        {VT_DECIMAL, "DECIMAL"},
        {VT_I1, "I1"},
        {VT_UI1, "UI1"},
        {VT_UI2, "UI2"},
        {VT_UI4, "UI4"},
        {VT_I8, "I8"},
        {VT_UI8, "UI8"},
        {VT_INT, "INT"},
        {VT_UINT, "UINT"},
    };
    std::string name = vt & VT_ARRAY ? "ARRAY " : "";
    for (const auto& entry : kNames)
        if (entry.vt == (vt & VT_TYPEMASK)) return name + entry.name;
    return name + Printf("VT 0x%04X", static_cast<unsigned>(vt & VT_TYPEMASK));
}

std::string Formatted(const VARIANT& v);

// The value of type vt (VT_BYREF left out) stored at `at`: where a by-reference variant points,
// or a variant's own value union. Empty for the types that have no value to show.
std::string ValueAt(VARTYPE vt, const void* at) {
    if (vt & VT_ARRAY) {
        // Never the elements (a packed template is one): only how many there are.
        SAFEARRAY* array = *static_cast<SAFEARRAY* const*>(at);
        if (!array) return "<none>";
        unsigned long count = 1;
        for (UINT d = 0; d < SafeArrayGetDim(array); ++d) count *= array->rgsabound[d].cElements;
        return Printf("<%lu %s>", count, (vt & VT_TYPEMASK) == VT_UI1 ? "bytes" : "elements");
    }
    switch (vt) {
        case VT_I1:
            return std::to_string(*static_cast<const signed char*>(at));
        case VT_UI1:
            return std::to_string(*static_cast<const unsigned char*>(at));
        case VT_I2:
            return std::to_string(*static_cast<const SHORT*>(at));
        case VT_UI2:
            return std::to_string(*static_cast<const USHORT*>(at));
        case VT_I4:
        case VT_INT:
            return std::to_string(*static_cast<const LONG*>(at));
        case VT_UI4:
        case VT_UINT:
            return std::to_string(*static_cast<const ULONG*>(at));
        case VT_I8:
            return std::to_string(*static_cast<const LONGLONG*>(at));
        case VT_UI8:
            return std::to_string(*static_cast<const ULONGLONG*>(at));
        case VT_R4:
            return Printf("%.9g", *static_cast<const float*>(at));
        case VT_R8:
            return Printf("%.17g", *static_cast<const double*>(at));
        case VT_BOOL: {
            const VARIANT_BOOL b = *static_cast<const VARIANT_BOOL*>(at);
            return b == VARIANT_TRUE ? "True" : b == VARIANT_FALSE ? "False" : std::to_string(b);
        }
        case VT_ERROR:
            return Hex(*static_cast<const SCODE*>(at));
        case VT_DATE: {
            SYSTEMTIME t{};
            if (!VariantTimeToSystemTime(*static_cast<const DATE*>(at), &t)) return "<invalid>";
            return Printf("%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                          t.wMinute, t.wSecond);
        }
        case VT_BSTR: {
            const BSTR s = *static_cast<const BSTR*>(at);
            return Quoted(s ? s : L"", s ? SysStringLen(s) : 0);
        }
        case VT_DISPATCH:
        case VT_UNKNOWN: {
            // Objects by address, so that a replaced one shows; nothing is called on them.
            const void* object = *static_cast<void* const*>(at);
            return object ? Printf("0x%p", object) : "Nothing";
        }
        case VT_VARIANT:
            return Formatted(*static_cast<const VARIANT*>(at));
        default:
            return {};
    }
}

// Where a variant's value lies: a by-reference one's variable, else its own value union.
const void* ValueOf(const VARIANT& v) {
    return V_VT(&v) & VT_BYREF ? V_BYREF(&v) : static_cast<const void*>(&V_BYREF(&v));
}

// "I4 7", "ref BSTR \"text\"", "EMPTY".
std::string Formatted(const VARIANT& v) {
    const VARTYPE vt = V_VT(&v);
    std::string out = vt & VT_BYREF ? "ref " : "";
    out += TypeName(vt & ~VT_BYREF);
    if (vt & VT_BYREF && !V_BYREF(&v)) return out + " <none>";
    const std::string value = ValueAt(vt & ~VT_BYREF, ValueOf(v));
    return value.empty() ? out : out + " " + value;
}

std::string ErrorText(const RaisedError& error) {
    return Hex(error.hr()) + " " + Quoted(error.description().data(), error.description().size());
}

// The file opened for appending, or nothing when it cannot be opened, which is told to the
// debugger and to nobody else: the operation goes on as without a trace.
std::unique_ptr<Sink> Open(const std::wstring& path) {
    auto sink = std::make_unique<Sink>();
    // Append access alone: every write lands at the end of the file, whoever else writes to it.
    sink->file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (sink->file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const std::wstring text = L"Quorin: the trace file " + path + L" cannot be opened: " +
                                  SystemMessage(HRESULT_FROM_WIN32(error)) + L"\n";
        OutputDebugStringW(text.c_str());
        return nullptr;
    }
    sink->call = ++g_calls;
    return sink;
}

}  // namespace

Setting CurrentSetting() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD n = GetEnvironmentVariableW(kEnvironmentVariable, path.data(), MAX_PATH);
    if (n >= MAX_PATH) {
        path.resize(n);
        n = GetEnvironmentVariableW(kEnvironmentVariable, path.data(), n);
    }
    if (n > 0 && n < path.size()) return {path.substr(0, n), true};

    // The process's own view: a 32-bit host on 64-bit Windows reads Wow6432Node.
    DWORD bytes = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, kRegistryKey, kRegistryValue, RRF_RT_REG_SZ, nullptr,
                           path.data(), &bytes);
    if (rc == ERROR_MORE_DATA) {
        path.resize(bytes / sizeof(wchar_t) + 1);
        bytes = static_cast<DWORD>(path.size() * sizeof(wchar_t));
        rc = RegGetValueW(HKEY_LOCAL_MACHINE, kRegistryKey, kRegistryValue, RRF_RT_REG_SZ, nullptr,
                          path.data(), &bytes);
    }
    if (rc != ERROR_SUCCESS) return {};
    path.resize(wcsnlen(path.data(), path.size()));
    return {path, false};
}

// A call being traced: when it started, its name and its arguments as they stood then.
struct Pending {
    struct Argument {
        VARIANT value;       // owns nothing
        bool after = false;  // by reference and shown: its value is shown again at the end
        std::string text;
    };
    SYSTEMTIME at{};
    LARGE_INTEGER start{};
    std::string name;
    std::vector<Argument> args;

    explicit Pending(const std::string& callName) : name(callName) {
        GetLocalTime(&at);
        QueryPerformanceCounter(&start);
    }
    void Add(std::string label, const VARIANT& value, std::string shown) {
        const bool byRef = V_VT(&value) & VT_BYREF && V_BYREF(&value);
        args.push_back({value, byRef && shown.empty(), std::move(label)});
        args.back().text += shown.empty() ? Formatted(value) : shown;
    }

    // The line: time, process, thread, the operation call's number, what was called, its
    // arguments (by-reference ones before -> after), the outcome and the duration.
    void Write(const Sink& sink, const char* kind, const std::string& outcome) const {
        LARGE_INTEGER end, frequency;
        QueryPerformanceCounter(&end);
        QueryPerformanceFrequency(&frequency);
        const double ms = static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
                          static_cast<double>(frequency.QuadPart);
        std::string line =
            Printf("%04u-%02u-%02u %02u:%02u:%02u.%03u\tpid=%lu\ttid=%lu\tcall=%lu\t", at.wYear,
                   at.wMonth, at.wDay, at.wHour, at.wMinute, at.wSecond, at.wMilliseconds,
                   GetCurrentProcessId(), GetCurrentThreadId(), sink.call);
        line += kind;
        line += '\t';
        line += name;
        line += '(';
        for (size_t i = 0; i < args.size(); ++i) {
            if (i) line += ", ";
            line += args[i].text;
            if (args[i].after)
                line += " -> " + ValueAt(V_VT(&args[i].value) & ~VT_BYREF, V_BYREF(&args[i].value));
        }
        line += ")\t";
        line += outcome;
        line += Printf("\t%.3f ms\r\n", ms);
        // One write per line: with append access alone, Windows puts it whole at the end of the
        // file, whichever process writes. Each operation has a handle of its own, and not every
        // platform makes appends through several handles atomic (Wine takes the end, then writes),
        // so this process's threads also take turns.
        DWORD written = 0;
        AcquireSRWLockExclusive(&g_writing);
        WriteFile(sink.file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        ReleaseSRWLockExclusive(&g_writing);
    }
};

// Nothing of the trace may change an operation: what fails in it (no memory for a line) is
// dropped with the line.

Operation::Operation(const wchar_t* name, const void* context,
                     std::vector<Param> (*describe)(const void*))
    : outer_(t_current) {
    try {
        const std::wstring path = CurrentSetting().file;
        if (!path.empty()) sink_ = Open(path);
        if (sink_) {
            pending_ = std::make_unique<Pending>(Utf8(name));
            for (const Param& p : describe(context)) pending_->Add(Utf8(p.name) + "=", p.value, {});
        }
    } catch (...) {
        pending_.reset();
        sink_.reset();
    }
    // Also when off: a nested operation's device calls are its own, never the outer one's.
    t_current = pending_ ? sink_.get() : nullptr;
    counted_ = pending_ != nullptr;
    if (counted_) g_traced.fetch_add(1, std::memory_order_relaxed);
}

Operation::~Operation() {
    t_current = outer_;
    if (counted_) g_traced.fetch_sub(1, std::memory_order_relaxed);
}

void Operation::Handled(const RaisedError& error) {
    if (!pending_) return;
    try {
        handled_ = " error=" + ErrorText(error);
    } catch (...) {
    }
}

void Operation::Escaped(const RaisedError& error) {
    if (!pending_) return;
    try {
        escaped_ = " escaped=" + ErrorText(error);
    } catch (...) {
    }
}

HRESULT Operation::End(HRESULT hr, const VARIANT_BOOL* result) {
    if (!pending_) return hr;
    try {
        std::string outcome = "hr=" + Hex(hr);
        if (result) outcome += " result=" + Formatted(view::Bool(*result));
        pending_->Write(*sink_, "operation", outcome + handled_ + escaped_);
    } catch (...) {
    }
    pending_.reset();
    return hr;
}

DeviceCall::DeviceCall(const char* name, const DISPPARAMS& params, Hidden hidden)
    : sink_(g_traced.load(std::memory_order_relaxed) ? t_current : nullptr) {
    if (!sink_) return;
    try {
        pending_ = std::make_unique<Pending>(name);
        for (UINT i = 0; i < params.cArgs; ++i) {
            const VARIANT& arg = params.rgvarg[params.cArgs - 1 - i];
            const unsigned position = i + 1;
            std::string shown;
            const std::string type =
                (V_VT(&arg) & VT_BYREF ? "ref " : "") + TypeName(V_VT(&arg) & ~VT_BYREF);
            if (position == hidden.templateArg)
                shown = type + Printf(" <template of %u values>", hidden.templateLength);
            else if (position == hidden.passwordArg)
                shown = type + " <masked>";
            pending_->Add({}, arg, std::move(shown));
        }
    } catch (...) {
        pending_.reset();
    }
}

namespace {

// Writes a device call's line, once: nothing of it may reach the call.
template <class Outcome>
void EndDeviceLine(std::unique_ptr<Pending>& pending, Sink* sink, Outcome outcome) {
    if (!pending) return;
    try {
        pending->Write(*sink, "device", outcome());
    } catch (...) {
    }
    pending.reset();
}

}  // namespace

DeviceCall::~DeviceCall() {
    // Neither answered nor failed: something other than a run-time error ended the call.
    EndDeviceLine(pending_, sink_, [] { return std::string("error=unknown"); });
}

void DeviceCall::Returned(const VARIANT& result) {
    EndDeviceLine(pending_, sink_, [&] { return "result=" + Formatted(result); });
}

void DeviceCall::Failed(const RaisedError& error) {
    EndDeviceLine(pending_, sink_, [&] { return "error=" + ErrorText(error); });
}

}  // namespace quorin::trace
