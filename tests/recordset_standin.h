// The test programs name the recordset stand-in by this path; it lives in standins/recordset.
#pragma once

#include "standins/recordset/recordset.h"
