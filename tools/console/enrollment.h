// The console's enrollment commands. The console has no ADO: it hands the driver the recordset
// stand-in, and keeps the row in a text file between a backup and a restore.
#pragma once

#include "contract.h"

//   quorin-host backup <port> <machine> <person> <rowfile>
int BackupCommand(IMachine* machine, int argc, wchar_t** argv);
//   quorin-host restore <port> <machine> <person> <rowfile>
int RestoreCommand(IMachine* machine, int argc, wchar_t** argv);
