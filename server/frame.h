// The frame every operation of clsMachine runs in: a reference on the object for the call, the
// trace of the call, the operation made from the call's arguments, an error handler armed with
// the result False, and the result written on every way out.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <array>
#include <cstddef>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "com/com.h"
#include "com/errors.h"
#include "com/variant.h"
#include "contract.h"
#include "device/clock.h"
#include "trace/trace.h"

namespace quorin {

// Publishes an error that escaped an operation's handler as the thread's COM error information
// and returns its HRESULT.
HRESULT ReportEscaped(const RaisedError& error);

// The trace's parameters of the operation `name` (IMachine's name): their names and types as the
// driver's type library describes the method, with the values passed (views whose type is set
// here). Empty when the library cannot be read.
std::vector<trace::Param> DescribeCall(const wchar_t* name, const VARIANT* values, size_t count);

// Runs an operation (operations/operations.h). Any error raised in its Run ends it in its Fail,
// which may put a message in place; the result is then False and the call succeeds. An error
// raised inside Fail is not caught again: it reaches the host as a failing HRESULT with the
// result False. The trace learns both errors.
//
// A working operation called while another one of the apartment runs (from host code during that
// one's yield) is refused before it does anything: no device call, nothing of the caller's
// touched but the message its Report leaves, the result False and the call successful.
template <class Operation>
HRESULT RunGuarded(VARIANT_BOOL* result, Operation& operation, trace::Operation& traced) {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return NoThrow([&] {
        const device::OperationClaim claim(Operation::kClaimsDevice);
        if (Operation::kClaimsDevice && !claim) {
            const RaisedError refusal = device::OperationRunning();
            traced.Handled(refusal);
            operation.Report(refusal);
            return S_OK;
        }
        bool outcome = false;
        try {
            try {
                outcome = operation.Run();
            } catch (const std::bad_alloc&) {
                throw RaisedError(VbErrorHresult(VbError::OutOfMemory),
                                  VbErrorText(VbError::OutOfMemory));
            } catch (const RaisedError&) {
                throw;
            } catch (...) {
                throw RaisedError(E_UNEXPECTED, SystemMessage(E_UNEXPECTED));
            }
        } catch (const RaisedError& error) {
            traced.Handled(error);
            // Not caught again: only what the standard library throws (NoThrow's).
            try {
                operation.Fail(error);
            } catch (const RaisedError& escaped) {
                traced.Escaped(escaped);
                return ReportEscaped(escaped);
            }
            outcome = false;
        }
        *result = outcome ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

namespace frame {

template <class Operation, class Arguments, size_t... I>
Operation Make(const Arguments& arguments, std::index_sequence<I...>) {
    return Operation{std::get<I>(arguments)...};
}

}  // namespace frame

// One call of the operation `name` on `self`, with the arguments as the interface passes them:
// the parameters in their order, then the result. The operation is made from the parameters.
template <class Operation, class... Arguments>
HRESULT RunOperation(_clsMachine* self, const wchar_t* name, Arguments... arguments) {
    constexpr size_t kParams = sizeof...(Arguments) - 1;
    const ComPtr<_clsMachine> call(self);
    const std::array<VARIANT, sizeof...(Arguments)> values = {view::Of(VT_EMPTY, arguments)...};
    trace::Operation traced(name, [&] { return DescribeCall(name, values.data(), kParams); });
    const auto all = std::make_tuple(arguments...);
    VARIANT_BOOL* const result = std::get<kParams>(all);
    Operation operation = frame::Make<Operation>(all, std::make_index_sequence<kParams>{});
    return traced.End(RunGuarded(result, operation, traced), result);
}

}  // namespace quorin
