// The frame every working operation of clsMachine runs in: an error handler armed with the result
// False, and the result written on every way out.
#pragma once

#include <windows.h>

#include <new>

#include "com/errors.h"
#include "com/trace.h"
#include "device/clock.h"

namespace quorin {

// Publishes an error that escaped an operation's handler as the thread's COM error information
// and returns its HRESULT.
HRESULT ReportEscaped(const RaisedError& error);

// Runs an operation (operations/operations.h). Any error raised in its Run ends it in its Fail,
// which may put a message in place; the result is then False and the call succeeds. An error
// raised inside Fail is not caught again: it reaches the host as a failing HRESULT with the
// result False. The trace learns both errors.
//
// An operation called while another one of the apartment runs (from host code during that one's
// yield) is refused before it does anything: no device call, nothing of the caller's touched but
// the message its Report leaves, the result False and the call successful.
template <class Operation>
HRESULT RunGuarded(VARIANT_BOOL* result, Operation&& operation, trace::OperationTrace& traced) {
    if (!result) return E_POINTER;
    *result = VARIANT_FALSE;
    return NoThrow([&] {
        const device::OperationClaim claim;
        if (!claim) {
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

}  // namespace quorin
