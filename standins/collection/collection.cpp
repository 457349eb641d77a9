// The automation Collection: an ordered list of variants with optional, case-insensitive text
// keys, addressed by 1-based position or by key. Errors carry the host runtime's error numbers
// and texts, as the original class reports them.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "com/com.h"
#include "com/object.h"
#include "com/variant.h"
#include "standins/collection/collection_probe.h"
#include "standins/common/server.h"
#include "vba6.h"

namespace {

using quorin::ComPtr;
using quorin::Exposes;
using quorin::NoTypeInfo;
using quorin::Variant;
using standins::IsMissing;

constexpr wchar_t kSource[] = L"VBA.Collection";

// The runtime's errors: facility control, error number in the low word.
struct RuntimeError {
    unsigned number;
    const wchar_t* text;
    HRESULT hr() const { return static_cast<HRESULT>(0x800A0000u | number); }
};
constexpr RuntimeError kInvalidCall{5, L"Invalid procedure call or argument"};
constexpr RuntimeError kSubscriptOutOfRange{9, L"Subscript out of range"};
constexpr RuntimeError kTypeMismatch{13, L"Type mismatch"};
constexpr RuntimeError kArgumentNotOptional{449, L"Argument not optional"};
constexpr RuntimeError kDuplicateKey{
    457, L"This key is already associated with an element of this collection"};

HRESULT Raise(const RuntimeError& e) {
    return standins::ReportError(e.hr(), __uuidof(_Collection), kSource, e.text);
}

std::atomic<long> g_liveCollections{0};

// The Add hooks (collection_probe.h): the journal of Add calls, and the injected failure.
// g_addsBeforeFailure is -1 when disarmed, otherwise the successful Adds left before every Add
// fails.
std::mutex g_hookLock;
std::vector<AddRecord> g_addJournal;
long g_addsBeforeFailure = -1;
HRESULT g_addFailure = S_OK;

HRESULT InjectedAddFailure() {
    std::lock_guard<std::mutex> hold(g_hookLock);
    return g_addsBeforeFailure == 0 ? g_addFailure : S_OK;
}

void DescribeArgument(const VARIANT* v, VARTYPE* vt, SCODE* scode) {
    *vt = v ? V_VT(v) : static_cast<VARTYPE>(VT_ILLEGAL);
    if (v && V_VT(v) == VT_ERROR) *scode = V_ERROR(v);
}

// Journals one Add and counts it towards the injected failure when it succeeded.
void RecordAdd(const VARIANT* item, const VARIANT* key, const VARIANT* before, const VARIANT* after,
               HRESULT hr) {
    AddRecord r;
    SCODE unused = S_OK;
    DescribeArgument(item, &r.item, &unused);
    DescribeArgument(key, &r.key, &r.keyScode);
    DescribeArgument(before, &r.before, &r.beforeScode);
    DescribeArgument(after, &r.after, &r.afterScode);
    r.hr = hr;
    std::lock_guard<std::mutex> hold(g_hookLock);
    g_addJournal.push_back(r);
    if (SUCCEEDED(hr) && g_addsBeforeFailure > 0) --g_addsBeforeFailure;
}

// Keys compare without regard to case, as the runtime's text comparison does.
std::wstring FoldKey(BSTR key) {
    std::wstring folded(key ? key : L"", SysStringLen(key));
    if (!folded.empty()) CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    return folded;
}

// An enumerator over a copy of the items taken when _NewEnum was called; clones share it.
class Enumerator final
    : public quorin::Object<Enumerator, Exposes<IEnumVARIANT, IID_IEnumVARIANT>> {
  public:
    Enumerator(std::shared_ptr<const std::vector<Variant>> items, size_t position)
        : items_(std::move(items)), position_(position) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* out, ULONG* fetched) override {
        if (fetched) *fetched = 0;
        if (count == 0) return S_OK;
        if (!out) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < items_->size(); ++n) {
            VariantInit(&out[n]);
            HRESULT hr = VariantCopy(&out[n], const_cast<VARIANT*>((*items_)[position_].get()));
            if (FAILED(hr)) {
                while (n > 0) VariantClear(&out[--n]);
                return hr;
            }
            ++position_;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        size_t left = items_->size() - position_;
        if (count > left) {
            position_ = items_->size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) Enumerator(items_, position_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

  private:
    std::shared_ptr<const std::vector<Variant>> items_;
    size_t position_;
};

class CollectionObject final
    : public quorin::Object<CollectionObject,
                            Exposes<NoTypeInfo<_Collection>, IID_IDispatch, __uuidof(_Collection)>,
                            Exposes<ISupportErrorInfo, IID_ISupportErrorInfo>> {
  public:
    CollectionObject() { ++g_liveCollections; }
    ~CollectionObject() { --g_liveCollections; }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
        return riid == __uuidof(_Collection) ? S_OK : S_FALSE;
    }

    // IDispatch: names and dispatch identifiers of the five members.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

    // _Collection
    HRESULT STDMETHODCALLTYPE Item(VARIANT* index, VARIANT* result) override;
    HRESULT STDMETHODCALLTYPE Add(VARIANT* item, VARIANT* key, VARIANT* before,
                                  VARIANT* after) override;
    HRESULT STDMETHODCALLTYPE Count(LONG* count) override;
    HRESULT STDMETHODCALLTYPE Remove(VARIANT* index) override;
    HRESULT STDMETHODCALLTYPE _NewEnum(IUnknown** result) override;

  private:
    struct Entry {
        Variant value;
        bool keyed = false;
        std::wstring key;  // folded
    };

    HRESULT Append(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after);
    // The 0-based position that an index argument names: a 1-based number of any numeric
    // type, or a key.
    HRESULT Resolve(const VARIANT* index, size_t* position) const;

    std::vector<Entry> entries_;
    std::unordered_set<std::wstring> keys_;
};

HRESULT CollectionObject::Resolve(const VARIANT* index, size_t* position) const {
    if (IsMissing(index)) return Raise(kArgumentNotOptional);
    Variant value;
    HRESULT hr = Variant::Dereference(*index, value);
    if (FAILED(hr)) return hr;
    if (V_VT(value.get()) == VT_BSTR) {
        const std::wstring key = FoldKey(V_BSTR(value.get()));
        if (keys_.count(key)) {
            for (size_t i = 0; i < entries_.size(); ++i) {
                if (entries_[i].keyed && entries_[i].key == key) {
                    *position = i;
                    return S_OK;
                }
            }
        }
        return Raise(kInvalidCall);
    }
    Variant number;
    hr = VariantChangeType(number.get(), value.get(), 0, VT_I4);
    if (hr == DISP_E_OVERFLOW) return Raise(kSubscriptOutOfRange);
    if (FAILED(hr)) return Raise(kTypeMismatch);
    const long n = V_I4(number.get());
    if (n < 1 || static_cast<size_t>(n) > entries_.size()) return Raise(kSubscriptOutOfRange);
    *position = static_cast<size_t>(n) - 1;
    return S_OK;
}

HRESULT CollectionObject::Item(VARIANT* index, VARIANT* result) {
    if (!result) return E_POINTER;
    VariantInit(result);
    size_t position = 0;
    HRESULT hr = Resolve(index, &position);
    if (FAILED(hr)) return hr;
    return VariantCopy(result, entries_[position].value.get());
}

HRESULT CollectionObject::Add(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after) {
    HRESULT hr = InjectedAddFailure();
    if (FAILED(hr))
        standins::ReportError(hr, __uuidof(_Collection), kSource, L"Collection is full");
    else
        hr = Append(item, key, before, after);
    RecordAdd(item, key, before, after, hr);
    return hr;
}

HRESULT CollectionObject::Append(VARIANT* item, VARIANT* key, VARIANT* before, VARIANT* after) {
    if (!item) return E_POINTER;
    HRESULT hr = S_OK;
    Entry entry;
    if (!IsMissing(key)) {
        Variant text;
        hr = Variant::Dereference(*key, text);
        if (FAILED(hr)) return hr;
        if (V_VT(text.get()) != VT_BSTR) return Raise(kTypeMismatch);
        entry.keyed = true;
        entry.key = FoldKey(V_BSTR(text.get()));
        if (keys_.count(entry.key)) return Raise(kDuplicateKey);
    }
    size_t position = entries_.size();
    if (!IsMissing(before) && !IsMissing(after)) return Raise(kInvalidCall);
    if (!IsMissing(before)) {
        hr = Resolve(before, &position);
        if (FAILED(hr)) return hr;
    } else if (!IsMissing(after)) {
        hr = Resolve(after, &position);
        if (FAILED(hr)) return hr;
        ++position;
    }
    // The collection keeps its own value: a by-reference item is resolved to what it points
    // at, and an object gets a reference of its own.
    hr = Variant::Dereference(*item, entry.value);
    if (FAILED(hr)) return hr;

    // Room first, so that the insertion itself cannot fail half way: moving entries does not
    // throw.
    try {
        if (entries_.size() == entries_.capacity())
            entries_.reserve(std::max<size_t>(16, entries_.capacity() * 2));
        if (entry.keyed) keys_.insert(entry.key);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(position), std::move(entry));
    return S_OK;
}

HRESULT CollectionObject::Count(LONG* count) {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(entries_.size());
    return S_OK;
}

HRESULT CollectionObject::Remove(VARIANT* index) {
    size_t position = 0;
    HRESULT hr = Resolve(index, &position);
    if (FAILED(hr)) return hr;
    if (entries_[position].keyed) keys_.erase(entries_[position].key);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
    return S_OK;
}

HRESULT CollectionObject::_NewEnum(IUnknown** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    try {
        auto items = std::make_shared<std::vector<Variant>>(entries_.size());
        for (size_t i = 0; i < entries_.size(); ++i) {
            HRESULT hr = VariantCopy((*items)[i].get(), entries_[i].value.get());
            if (FAILED(hr)) return hr;
        }
        *result = new Enumerator(std::move(items), 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CollectionObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    static const struct {
        const wchar_t* name;
        DISPID id;
    } kMembers[] = {
        {L"Item", 0}, {L"Add", 1}, {L"Count", 2}, {L"Remove", 3}, {L"_NewEnum", DISPID_NEWENUM},
    };
    if (!names || !ids) return E_POINTER;
    if (count == 0) return E_INVALIDARG;
    // Members only; their parameters have no names here.
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (const auto& m : kMembers) {
        if (names[0] && lstrcmpiW(names[0], m.name) == 0) ids[0] = m.id;
    }
    if (ids[0] == DISPID_UNKNOWN || count > 1) return DISP_E_UNKNOWNNAME;
    return S_OK;
}

HRESULT CollectionObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* excep, UINT*) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!params) return E_INVALIDARG;
    if (params->cNamedArgs) return DISP_E_NONAMEDARGS;
    const UINT argc = params->cArgs;
    // Arguments in call order; automation lays them out last first.
    auto arg = [&](UINT i) { return i < argc ? &params->rgvarg[argc - 1 - i] : nullptr; };
    const bool method = flags & DISPATCH_METHOD;
    const bool get = flags & DISPATCH_PROPERTYGET;

    Variant value;
    HRESULT hr = S_OK;
    switch (id) {
        case 0:  // Item, the default member
            if (!method && !get) return DISP_E_MEMBERNOTFOUND;
            if (argc != 1) return DISP_E_BADPARAMCOUNT;
            hr = Item(arg(0), value.get());
            break;
        case 1:
            if (!method) return DISP_E_MEMBERNOTFOUND;
            if (argc < 1 || argc > 4) return DISP_E_BADPARAMCOUNT;
            hr = Add(arg(0), arg(1), arg(2), arg(3));
            break;
        case 2: {
            if (!method && !get) return DISP_E_MEMBERNOTFOUND;
            if (argc != 0) return DISP_E_BADPARAMCOUNT;
            LONG n = 0;
            hr = Count(&n);
            value = Variant::I4(n);
            break;
        }
        case 3:
            if (!method) return DISP_E_MEMBERNOTFOUND;
            if (argc != 1) return DISP_E_BADPARAMCOUNT;
            hr = Remove(arg(0));
            break;
        case DISPID_NEWENUM: {
            if (!method && !get) return DISP_E_MEMBERNOTFOUND;
            if (argc != 0) return DISP_E_BADPARAMCOUNT;
            ComPtr<IUnknown> enumerator;
            hr = _NewEnum(enumerator.put());
            if (SUCCEEDED(hr)) value = Variant::Unknown(enumerator.get());
            break;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
    if (FAILED(hr)) return standins::ToDispatchException(hr, excep);
    if (result) *result = value.detach();
    return S_OK;
}

const standins::ClassEntry kClasses[] = {
    {__uuidof(Collection), L"VBA.Collection", L"VBA.Collection",
     quorin::CreateInstance<CollectionObject>},
};

}  // namespace

extern "C" const std::vector<AddRecord>* VbCollectionAddJournal() {
    return &g_addJournal;
}

extern "C" void VbCollectionResetJournal() {
    std::lock_guard<std::mutex> hold(g_hookLock);
    g_addJournal.clear();
}

extern "C" void VbCollectionFailAddAfter(long n, HRESULT hr) {
    std::lock_guard<std::mutex> hold(g_hookLock);
    g_addsBeforeFailure = n < 0 ? -1 : n;
    g_addFailure = hr;
}

extern "C" long VbCollectionLiveObjects() {
    return g_liveCollections.load();
}

namespace standins {
extern const Server kServer = {kClasses, std::size(kClasses), nullptr, nullptr};
}  // namespace standins
