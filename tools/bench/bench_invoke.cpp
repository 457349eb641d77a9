// bench_invoke: what a late-bound call of the driver costs, per call.
//
//   bench_invoke [calls] [rounds] [--against FILE]     (defaults: 100000 calls, 3 rounds)
//
// One run times delCardData, a method that answers False without any work (no device, no host
// object), called through the driver's IDispatch::Invoke by dispatch identifier, as a script calls
// it once it has the identifier, and through the IMachine vtable, the floor of the Invoke. With
// --against, another build of the driver (a Quorin.dll of another commit, copied under another
// name) is loaded from FILE and timed the same way in the same rounds, so that two builds compare
// in one run. Each driver is the file's own: loaded by path, its object made by its class factory.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "contract/identity.h"
#include "tools/bench/bench.h"

using namespace bench;

namespace {

constexpr DISPID kDelCardData = 0x60030005;

struct Driver {
    std::string label;
    ComPtr<IMachine> machine;
    ComPtr<_clsMachine> def;
    Best invoke, vtable;
};

// A driver object from the module file at `path`, through its own DllGetClassObject.
void Load(Driver& d, const std::wstring& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) Die(("loading " + d.label).c_str(), HRESULT_FROM_WIN32(GetLastError()));
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!get) Die("DllGetClassObject", E_NOINTERFACE);
    ComPtr<IClassFactory> factory;
    Check("DllGetClassObject",
          get(quorin::kClsidClsMachine, IID_IClassFactory, factory.put_void()));
    Check("creating the driver",
          factory->CreateInstance(nullptr, __uuidof(IMachine), d.machine.put_void()));
    Check("_clsMachine", d.machine.query(d.def));
}

double TimeInvoke(_clsMachine* def, long calls) {
    quorin::Bstr ip(L"");
    VARIANT args[4] = {quorin::view::I2(1), quorin::view::I2(1), quorin::view::Text(ip.get()),
                       quorin::view::Bool(VARIANT_TRUE)};  // reversed
    DISPPARAMS params{args, nullptr, 4, 0};
    const double start = Seconds();
    for (long i = 0; i < calls; ++i) {
        VARIANT result;
        VariantInit(&result);
        const HRESULT hr = def->Invoke(kDelCardData, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                       &params, &result, nullptr, nullptr);
        if (hr != S_OK || V_VT(&result) != VT_BOOL || V_BOOL(&result))
            Die("Invoke(delCardData)", FAILED(hr) ? hr : E_UNEXPECTED);
    }
    return Seconds() - start;
}

double TimeVtable(IMachine* machine, long calls) {
    quorin::Bstr ip(L"");
    const double start = Seconds();
    for (long i = 0; i < calls; ++i) {
        VARIANT_BOOL result = 1;
        const HRESULT hr = machine->delCardData(VARIANT_TRUE, ip.get(), 1, 1, &result);
        if (hr != S_OK || result) Die("delCardData", FAILED(hr) ? hr : E_UNEXPECTED);
    }
    return Seconds() - start;
}

// This program's folder, ending in a backslash.
std::wstring OwnFolder() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage = "bench_invoke [calls] [rounds] [--against FILE]";
    std::vector<char*> counts = {argv[0]};
    const char* against = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--against") == 0 && i + 1 < argc)
            against = argv[++i];
        else
            counts.push_back(argv[i]);
    }
    const Options o = ParseOptions(static_cast<int>(counts.size()), counts.data(), 100000, usage);
    if (FAILED(CoInitialize(nullptr))) return 1;
    {
        std::vector<Driver> drivers(against ? 2 : 1);
        drivers[0].label = "this tree's Quorin.dll";
        Load(drivers[0], OwnFolder() + L"Quorin.dll");
        if (against) {
            drivers[1].label = against;
            const std::string file = against;
            Load(drivers[1], std::wstring(file.begin(), file.end()));
        }
        // Warm up: every module loaded, every description the calls need read once.
        for (Driver& d : drivers) {
            TimeInvoke(d.def.get(), 1000);
            TimeVtable(d.machine.get(), 1000);
        }

        Tally overVtable, overOther;
        for (int r = 0; r < o.rounds; ++r) {
            double invoke[2] = {}, vtable[2] = {};
            // Each driver first in turn, so that neither always meets the heap as the other left
            // it.
            for (size_t k = 0; k < drivers.size(); ++k) {
                const size_t i = (k + r) % drivers.size();
                invoke[i] = TimeInvoke(drivers[i].def.get(), o.count);
                vtable[i] = TimeVtable(drivers[i].machine.get(), o.count);
                drivers[i].invoke.Add(invoke[i]);
                drivers[i].vtable.Add(vtable[i]);
            }
            overVtable.Add(invoke[0] / vtable[0]);
            if (against) overOther.Add(invoke[0] / invoke[1]);
            std::printf("round %d: Invoke %.3f s, vtable %.3f s", r + 1, invoke[0], vtable[0]);
            if (against)
                std::printf("; against: Invoke %.3f s, vtable %.3f s", invoke[1], vtable[1]);
            std::printf("\n");
            std::fflush(stdout);
        }

        std::printf("kind %s, %ld calls, best of %d rounds; ratios: median of the rounds\n",
                    sizeof(void*) == 8 ? "x86_64" : "i686", o.count, o.rounds);
        for (const Driver& d : drivers) {
            std::printf("%s\n", d.label.c_str());
            PrintTime("  Invoke of delCardData by dispatch identifier", d.invoke.seconds, o.count,
                      "call");
            PrintTime("  the same through the IMachine vtable", d.vtable.seconds, o.count, "call");
        }
        PrintRatio("ratio this tree's Invoke / its vtable call", overVtable.Median());
        if (against) PrintRatio("ratio this tree's Invoke / the other's", overOther.Median());
    }
    CoUninitialize();
    return 0;
}
