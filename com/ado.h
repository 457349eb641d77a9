// The ADO 2.6 recordset interfaces, from the platform's back-compatible ADO header, for the driver
// that reads and fills a host's recordset and for the recordset that stands in for the host's.
//
// That header declares the coclasses for C++ as bare statements ("Connection;") after typedefs of
// the same names, which C++ rejects; the names are blanked while it is read. No library defines
// its interface identifiers; the driver needs the recordset's alone, to ask the object it is given
// whether it is one.
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

__CRT_UUID_DECL(_ADORecordset, 0x00000556, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x6d, 0x2e,
                0xa4)
