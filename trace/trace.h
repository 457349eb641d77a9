// The trace for support: when a trace file is configured, one line per operation call and one per
// device call, appended to it as UTF-8. Off, it opens nothing and formats nothing.
//
// The configuration is read at the start of every operation call, so that tracing can be switched
// on and off while the host runs: the environment variable QUORIN_TRACE (a file path) when set,
// else the value TraceFile (REG_SZ or REG_EXPAND_SZ) of HKLM\Software\Quorin in the process's own
// registry view. The operation opens the file for appending, shared, and closes it when it ends;
// a file that cannot be opened turns the trace off for that call and is reported to the debugger,
// nothing else. Each line goes out in one appending write, one thread of the process at a time, so
// lines stay whole.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <vector>

#include "com/errors.h"

namespace quorin::trace {

inline constexpr wchar_t kEnvironmentVariable[] = L"QUORIN_TRACE";
inline constexpr wchar_t kRegistryKey[] = L"Software\\Quorin";
inline constexpr wchar_t kRegistryValue[] = L"TraceFile";

// A parameter of an operation: its name and its value as the caller passed it, a view that owns
// nothing (com/variant.h). A by-reference one points at the caller's variable, which is read when
// the call starts and again when it ends.
struct Param {
    std::wstring name;
    VARIANT value;
};

// Where the trace writes as things stand: the file QUORIN_TRACE names, else the one the registry
// value names (fromEnvironment false); an empty file when the trace is off. Each operation call
// reads it anew; the console's site check shows it.
struct Setting {
    std::wstring file;
    bool fromEnvironment = false;
};
Setting CurrentSetting();

struct Sink;
struct Pending;

// One operation call, opened by the frame when the call starts: it reads the configuration and
// opens the file; while it lives, the device calls made on this thread go to its trace (and to no
// other: an operation nested in a yield has its own). Off, it holds nothing, and `describe`, which
// answers the call's parameters, is never asked.
class Operation {
  public:
    template <class Describe>
    Operation(const wchar_t* name, const Describe& describe)
        : Operation(name, &describe, [](const void* d) -> std::vector<Param> {
              return (*static_cast<const Describe*>(d))();
          }) {}
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    ~Operation();

    // The error that ended the operation in its handler, and one raised inside the handler.
    void Handled(const RaisedError& error);
    void Escaped(const RaisedError& error);
    // Writes the operation's line: the parameters before and after, the HRESULT, the result and
    // any error. Returns hr.
    HRESULT End(HRESULT hr, const VARIANT_BOOL* result);

  private:
    Operation(const wchar_t* name, const void* context,
              std::vector<Param> (*describe)(const void* context));

    std::unique_ptr<Sink> sink_;
    std::unique_ptr<Pending> pending_;
    Sink* outer_;
    bool counted_ = false;  // among the process's traced operations
    std::string handled_, escaped_;
};

// Arguments of a device call shown without their value: the template buffer (by its length only)
// and the password. Positions count from 1 in call order; 0 for none.
struct Hidden {
    unsigned templateArg = 0;
    unsigned templateLength = 0;
    unsigned passwordArg = 0;
};

// One device call, reported by the device link: traced when an operation traced on this thread
// makes it; inert otherwise.
class DeviceCall {
  public:
    // params as the call passes them: arguments reversed.
    DeviceCall(const char* name, const DISPPARAMS& params, Hidden hidden);
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;
    ~DeviceCall();

    void Returned(const VARIANT& result);
    void Failed(const RaisedError& error);

  private:
    Sink* sink_;
    std::unique_ptr<Pending> pending_;
};

}  // namespace quorin::trace
