// The console's enrollment commands. The console has no ADO: it hands the driver the recordset
// stand-in, and keeps the row in a text file between a backup and a restore.
#pragma once

#include "contract.h"

// The person number goes to the driver as the text given, as the host passes it.
//   quorin-host backup <port> <machine> <person> <rowfile>
int BackupCommand(IMachine* driver, short port, short machine, const wchar_t* person,
                  const wchar_t* rowfile);
//   quorin-host restore <port> <machine> <person> <rowfile>
int RestoreCommand(IMachine* driver, short port, short machine, const wchar_t* person,
                   const wchar_t* rowfile);
