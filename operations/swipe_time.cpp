#include "operations/swipe_time.h"

namespace quorin::ops {

namespace {

constexpr bool IsLeapYear(long year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr long DaysInMonth(long year, long month) {
    constexpr long kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 30 December 1899, the automation date's day 0, in the proleptic Gregorian calendar
// that automation dates use. The year must be positive.
constexpr long AutomationDay(long year, long month, long day) {
    // Counted from 1 March of year 0, so that a leap day falls at the end of its year.
    const long y = month <= 2 ? year - 1 : year;
    const long m = month <= 2 ? month + 9 : month - 3;
    const long era = y / 400;
    const long yearOfEra = y - era * 400;
    const long dayOfYear = (153 * m + 2) / 5 + day - 1;
    const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    constexpr long kDay0 = 693899;  // 30 December 1899, counted the same way
    return era * 146097 + dayOfEra - kDay0;
}

static_assert(AutomationDay(1899, 12, 30) == 0);
static_assert(AutomationDay(1900, 3, 1) == 61);
static_assert(AutomationDay(2008, 12, 31) == 39813);
static_assert(AutomationDay(100, 1, 1) == -657434);
static_assert(AutomationDay(9999, 12, 31) == 2958465);

}  // namespace

std::optional<DATE> SwipeTimeFromParts(const SwipeParts& p) {
    if (p.year < kFirstSwipeYear || p.year > kLastSwipeYear) return std::nullopt;
    if (p.month < 1 || p.month > 12) return std::nullopt;
    if (p.day < 1 || p.day > DaysInMonth(p.year, p.month)) return std::nullopt;
    if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59) return std::nullopt;

    // Whole minutes, then one division: the nearest double to the exact instant. Before day 0 the
    // time of day counts away from zero, as automation dates have it (-1.25 is 29 December 1899,
    // 06:00).
    const long long day = AutomationDay(p.year, p.month, p.day);
    const long long minuteOfDay = p.hour * 60LL + p.minute;
    const long long minutes = day < 0 ? day * 1440 - minuteOfDay : day * 1440 + minuteOfDay;
    return static_cast<DATE>(minutes) / 1440.0;
}

}  // namespace quorin::ops
