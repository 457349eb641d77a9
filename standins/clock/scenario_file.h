// Scenario files: a simulated site described in JSON (docs/simulated-clock.md gives the format).
#pragma once

#include <string>

#include "standins/clock/scenario.h"

namespace clocksim {

// Reads the file at `path` into `site`. A file that cannot be read or has a mistake leaves
// `site` as it was and returns false, with `error` naming the file, the line and the key.
bool ReadScenarioFile(const std::wstring& path, Site& site, std::wstring& error);

}  // namespace clocksim
