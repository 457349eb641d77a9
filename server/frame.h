// The frame every operation of clsMachine runs in: a reference on the object for the call, the
// trace of the call, the operation made from the call's arguments, an error handler armed with
// the result False, and the result written on every way out.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <array>
#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "com/com.h"
#include "com/errors.h"
#include "com/variant.h"
#include "contract.h"
#include "contract/identity.h"
#include "device/clock.h"
#include "server/typeinfo.h"
#include "trace/trace.h"

namespace quorin {

// Publishes an error that escaped an operation's handler as the thread's COM error information
// and returns its HRESULT.
inline HRESULT ReportEscaped(const RaisedError& error) {
    PublishErrorInfo(GUID_NULL, kProgId, error.description());
    return FAILED(error.hr()) ? error.hr() : E_FAIL;
}

// Runs an operation (operations/operations.h). Whatever its Run throws ends it in the handler:
// a Disconnect where the operation asks for one, then its Report, which may put a message in
// place; the result is then False and the call succeeds. Whatever the handler throws is not
// caught again: it reaches the host as a failing HRESULT with its error information, the result
// False. Both are classified alike (CaughtError), and the trace learns both.
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
        const std::optional<RaisedError> error = ErrorOf([&] { outcome = operation.Run(); });
        if (error) {
            traced.Handled(*error);
            const std::optional<RaisedError> escaped = ErrorOf([&] {
                // A failing Disconnect escapes with nothing reported.
                if constexpr (Operation::kDisconnectsOnError) device::Disconnect();
                operation.Report(*error);
            });
            if (escaped) {
                traced.Escaped(*escaped);
                return ReportEscaped(*escaped);
            }
            outcome = false;
        }
        *result = outcome ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

namespace frame {

// The operation from the call's parameters, in their order; {} for the Handler base of an
// aggregate.
template <class Operation, class Arguments, size_t... I>
Operation Make(const Arguments& arguments, std::index_sequence<I...>) {
    if constexpr (std::is_aggregate_v<Operation>)
        return Operation{{}, std::get<I>(arguments)...};
    else
        return Operation(std::get<I>(arguments)...);
}

}  // namespace frame

// One call of the operation `name` on `self`, with the arguments as the interface passes them:
// the parameters in their order, then the result. The operation is made from the parameters; the
// trace learns their names and types from the object's type information.
template <class Operation, class... Arguments>
HRESULT RunOperation(_clsMachine* self, TypeInformation& types, const wchar_t* name,
                     Arguments... arguments) {
    constexpr size_t kParams = sizeof...(Arguments) - 1;
    const ComPtr<_clsMachine> call(self);
    const std::array<VARIANT, sizeof...(Arguments)> values = {view::Of(VT_EMPTY, arguments)...};
    trace::Operation traced(name, [&] { return types.DescribeCall(name, values.data(), kParams); });
    const auto all = std::make_tuple(arguments...);
    VARIANT_BOOL* const result = std::get<kParams>(all);
    Operation operation = frame::Make<Operation>(all, std::make_index_sequence<kParams>{});
    return traced.End(RunGuarded(result, operation, traced), result);
}

}  // namespace quorin
