// The ADO 2.6 recordset interfaces, from the platform's back-compatible ADO header.
//
// That header declares the coclasses for C++ as bare statements ("Connection;") after typedefs of
// the same names, which C++ rejects; the names are blanked while it is read. No library defines
// its interface identifiers, and the driver needs none: it only calls the recordset it is given.
#pragma once

#include <windows.h>
#include <oleauto.h>

#define Connection
#define Record
#define Stream
#define Command
#define Recordset
#define Parameter
#include <adoint_backcompat.h>
#undef Connection
#undef Record
#undef Stream
#undef Command
#undef Recordset
#undef Parameter
