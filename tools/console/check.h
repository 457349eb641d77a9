// quorin-host check [<portMin> <portMax> <machineMin> <machineMax>]: the site check for support.
// One line per item, "ok" or "FAIL" first, with what to do about a failure: the driver's
// registration in the registry view this process reads (class, file, version, ThreadingModel,
// type library), the classes the driver creates (the host's record classes, the collection
// class, the device control), the trace setting; with a range, a scan and the clocks that answer.
#pragma once

// range: ports range[0] to range[1], machine numbers range[2] to range[3]; nullptr for no scan.
// Returns 0 when every item is ok, else 1.
int CheckCommand(const short* range);
