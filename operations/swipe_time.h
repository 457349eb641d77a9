// The swipe time of an attendance record. The device reports it as year, month, day, hour and
// minute, which the host receives as an automation date on the whole minute.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>

#include "device/clock.h"

namespace quorin::ops {

// The parts as the device reports them, each taken as it comes: no century is added to a short
// year, and nothing is carried from one part into another.
using device::SwipeParts;

// The first and last year an automation date holds.
inline constexpr long kFirstSwipeYear = 100;
inline constexpr long kLastSwipeYear = 9999;

// Reads the parts as the text year/month/day hour:minute reads, year first whatever the user's
// locale: the automation date of that minute (seconds 0), or nothing when the parts form no valid
// date and time (a month outside 1 to 12, a day the month does not have, an hour outside 0 to 23,
// a minute outside 0 to 59, a year outside kFirstSwipeYear to kLastSwipeYear, any negative part).
std::optional<DATE> SwipeTimeFromParts(const SwipeParts& parts);

}  // namespace quorin::ops
