// The conversions the driver applies to what the host and the device hand it, with the host
// runtime's rules and run-time errors.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "com/variant.h"

namespace quorin::ops {

// The value a host's argument or field holds, by value or by reference, as a value of its own;
// a reference that cannot be followed is a type mismatch.
Variant Direct(const VARIANT& value);

// The whole-number conversion used for every number the driver takes from the host: rounded to
// the nearest integer with halves to the even neighbour; text with blanks around it; Empty is 0.
// Raises type mismatch for empty or non-numeric text, overflow out of range, invalid use of Null
// for Null. Text is read the same way in every locale.
short ToInteger(const VARIANT& value);
short ToInteger(BSTR text);

// The 16-bit value of a 32-bit one the device returned, or an overflow error when it does not fit.
short NarrowToInteger(LONG value);

// The password of an npassword value: Null or blank text is 0, anything else converts by the
// whole-number rules over the signed 32-bit range (backup stores the password as a 32-bit value,
// so restore must take all of them).
long PasswordOf(const VARIANT& value);

}  // namespace quorin::ops
