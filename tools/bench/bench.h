// What the benchmarks share: the clock they read, failures that end the run, the host's objects
// made as a host or the driver makes them, calls made directly on a control of the simulated
// clock, and the rounds' bookkeeping.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstddef>
#include <string>
#include <vector>

#include "com/com.h"
#include "com/variant.h"
#include "contract.h"
#include "operations/host_objects.h"

namespace bench {

using quorin::ComPtr;
using quorin::Variant;

// Seconds on the performance counter.
double Seconds();

// A failure ends the benchmark with what failed.
[[noreturn]] void Die(const char* what, HRESULT hr);
void Check(const char* what, HRESULT hr);

// The driver created by its ProgID, as the host creates it.
ComPtr<IMachine> NewDriver();
ComPtr<_Collection> NewCollection();
long CountOf(_Collection* col);

// How a floor loop creates each record: by CLSID (CoCreateInstance, a class look-up per object),
// or through the class object obtained once for the loop, as the operations do.
enum class Creation { ByClsid, ByClassObject };
const char* CreationName(Creation creation);

// Creates records of one class the chosen way; by class object, with the operations' own holder.
template <class I>
class Records {
  public:
    Records(const GUID& clsid, Creation creation)
        : clsid_(clsid), creation_(creation), classObject_(clsid) {}
    ComPtr<I> New() {
        if (creation_ == Creation::ByClassObject) return classObject_.New();
        ComPtr<I> record;
        Check("CoCreateInstance", CoCreateInstance(clsid_, nullptr, CLSCTX_INPROC_SERVER,
                                                   __uuidof(I), record.put_void()));
        return record;
    }

  private:
    GUID clsid_;
    Creation creation_;
    quorin::ops::RecordClass<I> classObject_;
};

// Add as the driver calls it: the item by reference to the caller's reference, the rest missing.
void Append(_Collection* col, IDispatch* record);

// A control of the simulated clock, called directly with 32-bit integer arguments in call order,
// as the driver passes them. The arguments are reversed into place by the caller's array.
class Control {
  public:
    Control();
    // One method call; its answer as a Boolean. `reversed` holds the arguments last first.
    bool Call(DISPID id, VARIANT* reversed, UINT count);
    // The same with values, for calls outside the timed loops.
    bool CallWith(DISPID id, const std::vector<LONG>& inCallOrder);

  private:
    ComPtr<IDispatch> control_;
};

// records and rounds from the command line, with their defaults; exits with the usage when
// they make no sense.
struct Options {
    long count;
    int rounds;
};
Options ParseOptions(int argc, char** argv, long defaultCount, const char* usage);

// The ratios of the rounds and their median, and the best time of each timing.
struct Tally {
    std::vector<double> ratios;
    void Add(double ratio) { ratios.push_back(ratio); }
    double Median() const;
};
struct Best {
    double seconds = 1e300;
    void Add(double s) {
        if (s < seconds) seconds = s;
    }
};

// "what  seconds  us per unit", one line.
void PrintTime(const char* what, double seconds, long units, const char* unit);
void PrintRatio(const std::string& what, double ratio);

}  // namespace bench
