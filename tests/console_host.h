// quorin-host run as a process of its own, as a developer or support runs it: from this test
// program's folder, with the test's environment.
#pragma once

#include <windows.h>

#include <string>

namespace qt {

struct Ran {
    DWORD exit = 0;
    std::string out, err;  // what it wrote to its output and its error output
};

Ran RunHost(const std::wstring& args);

}  // namespace qt
