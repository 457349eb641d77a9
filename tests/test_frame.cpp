// The frame's one error classifier, with an operation made to fail where no device or host object
// can make a real one fail: whatever its handler throws reaches the caller as a failing HRESULT
// with the thread's error information, and the trace as the operation's escaped= error, a
// RaisedError as it is, no memory as "Out of memory", anything else as E_UNEXPECTED.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>

#include "com/errors.h"
#include "operations/operations.h"
#include "server/frame.h"
#include "tests/support.h"

namespace {

using quorin::RaisedError;

// Fails in Run as a device would, then throws from its handler.
struct FailingHandler : quorin::ops::Handler {
    static constexpr bool kClaimsDevice = false;
    void (*thrown)();

    bool Run() { throw RaisedError(E_FAIL, L"Device busy"); }
    void Report(const RaisedError&) { thrown(); }
};

// The trace file's last line.
std::string LastLine(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    return last;
}

TEST(Frame, WhateverAHandlerThrowsReachesTheCallerWithItsErrorInformation) {
    const std::wstring trace = qt::TempPath(L"frame.log");
    ASSERT_TRUE(SetEnvironmentVariableW(L"QUORIN_TRACE", trace.c_str()));
    const std::wstring unexpected = quorin::SystemMessage(E_UNEXPECTED);
    const struct {
        const char* what;
        void (*thrown)();
        HRESULT hr;
        std::wstring description;
        std::string escaped;
    } cases[] = {
        {"no memory", [] { throw std::bad_alloc(); }, HRESULT(0x800A0007), L"Out of memory",
         "escaped=0x800A0007 \"Out of memory\""},
        {"another exception", [] { throw std::runtime_error("broken"); }, E_UNEXPECTED, unexpected,
         "escaped=0x8000FFFF \"" + qt::Utf8(unexpected) + "\""},
        {"a raised error", [] { throw RaisedError(E_ACCESSDENIED, L"Line down"); }, E_ACCESSDENIED,
         L"Line down", "escaped=0x80070005 \"Line down\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(trace.c_str());
        SetErrorInfo(0, nullptr);
        FailingHandler operation{{}, c.thrown};
        VARIANT_BOOL result = 1;
        HRESULT hr;
        {
            quorin::trace::Operation traced(L"funcTest",
                                            [] { return std::vector<quorin::trace::Param>{}; });
            hr = traced.End(quorin::RunGuarded(&result, operation, traced), &result);
        }
        EXPECT_EQ(c.hr, hr);
        EXPECT_EQ(VARIANT_FALSE, result);

        quorin::ComPtr<IErrorInfo> info;
        ASSERT_EQ(S_OK, GetErrorInfo(0, info.put()));
        quorin::Bstr description, source;
        ASSERT_EQ(S_OK, info->GetDescription(description.put()));
        ASSERT_EQ(S_OK, info->GetSource(source.put()));
        EXPECT_EQ(c.description, qt::Text(description.get()));
        EXPECT_EQ(L"Quorin.clsMachine", qt::Text(source.get()));

        // The error that ended Run, then the one that escaped the handler.
        const std::string line = LastLine(trace);
        EXPECT_NE(std::string::npos,
                  line.find("error=0x80004005 \"Device busy\" " + c.escaped + "\t"))
            << line;
    }
    SetEnvironmentVariableW(L"QUORIN_TRACE", nullptr);
}

}  // namespace
