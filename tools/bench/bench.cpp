#include "tools/bench/bench.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "contract/identity.h"

namespace bench {

double Seconds() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Die(const char* what, HRESULT hr) {
    std::fprintf(stderr, "%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    std::exit(1);
}

void Check(const char* what, HRESULT hr) {
    if (FAILED(hr)) Die(what, hr);
}

ComPtr<IMachine> NewDriver() {
    CLSID clsid;
    Check("CLSIDFromProgID(Quorin.clsMachine)", CLSIDFromProgID(quorin::kProgId, &clsid));
    ComPtr<IMachine> machine;
    Check("creating the driver", CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                  __uuidof(IMachine), machine.put_void()));
    return machine;
}

ComPtr<_Collection> NewCollection() {
    ComPtr<_Collection> col;
    Check("creating a Collection",
          CoCreateInstance(quorin::kClsidCollection, nullptr, CLSCTX_INPROC_SERVER,
                           __uuidof(_Collection), col.put_void()));
    return col;
}

long CountOf(_Collection* col) {
    long n = 0;
    Check("Count", col->Count(&n));
    return n;
}

const char* CreationName(Creation creation) {
    return creation == Creation::ByClsid ? "CoCreateInstance" : "the class object";
}

void Append(_Collection* col, IDispatch* record) {
    Variant item = Variant::RefDispatch(&record);
    Variant key = Variant::Missing(), before = Variant::Missing(), after = Variant::Missing();
    Check("Add", col->Add(item.get(), key.get(), before.get(), after.get()));
}

Control::Control() {
    Check("creating the clock control",
          CoCreateInstance(quorin::kClsidClockCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                           control_.put_void()));
}

bool Control::Call(DISPID id, VARIANT* reversed, UINT count) {
    DISPPARAMS params{reversed, nullptr, count, 0};
    Variant answer;
    Check("a call on the clock control",
          control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                           answer.get(), nullptr, nullptr));
    return answer.vt() == VT_BOOL && V_BOOL(answer.get());
}

bool Control::CallWith(DISPID id, const std::vector<LONG>& inCallOrder) {
    std::vector<VARIANT> reversed;
    for (auto v = inCallOrder.rbegin(); v != inCallOrder.rend(); ++v)
        reversed.push_back(Variant::I4(*v).detach());
    return Call(id, reversed.data(), static_cast<UINT>(reversed.size()));
}

Options ParseOptions(int argc, char** argv, long defaultCount, const char* usage) {
    Options o{argc > 1 ? std::atol(argv[1]) : defaultCount, argc > 2 ? std::atoi(argv[2]) : 3};
    if (o.count < 1 || o.rounds < 1) {
        std::fprintf(stderr, "usage: %s\n", usage);
        std::exit(2);
    }
    return o;
}

double Tally::Median() const {
    std::vector<double> v = ratios;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void PrintTime(const char* what, double seconds, long units, const char* unit) {
    std::printf("%-52s %9.3f s %9.2f us/%s\n", what, seconds, seconds * 1e6 / units, unit);
}

void PrintRatio(const std::string& what, double ratio) {
    std::printf("%-52s %9.3f\n", what.c_str(), ratio);
}

}  // namespace bench
