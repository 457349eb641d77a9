#include "standins/recordset/recordset.h"

#include <atomic>
#include <cstring>

#include "com/object.h"

namespace qt {

using quorin::ComPtr;
using quorin::Variant;

std::vector<std::wstring> EnrollmentColumns() {
    return {L"cpsn_num", L"iFingerprintNO", L"imachineno", L"npassword", L"bFingerprint"};
}

namespace {

using quorin::Exposes;

// ADO's interface identifiers differ only in their first part; the platform header declares
// them without defining them.
namespace ado {
constexpr GUID Iid(unsigned long first) {
    return {first, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
}
inline constexpr GUID kIidAdo = Iid(0x534);
inline constexpr GUID kIidRecordset15 = Iid(0x50E);
inline constexpr GUID kIidRecordset20 = Iid(0x54F);
inline constexpr GUID kIidRecordset21 = Iid(0x555);
inline constexpr GUID kIidRecordset = Iid(0x556);
inline constexpr GUID kIidCollection = Iid(0x512);
inline constexpr GUID kIidFields15 = Iid(0x506);
inline constexpr GUID kIidFields20 = Iid(0x54D);
inline constexpr GUID kIidFields = Iid(0x564);
inline constexpr GUID kIidField20 = Iid(0x54C);
inline constexpr GUID kIidField = Iid(0x569);
}  // namespace ado

// ADO's own errors for a name that is not a field and for a position with no current row.
constexpr HRESULT kItemNotFound = static_cast<HRESULT>(0x800A0CC1);
constexpr HRESULT kNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);

std::atomic<long> g_liveChildren{0};

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return s;
}

// The field's name when index is a text key (by value or by reference).
bool KeyName(const VARIANT& index, std::wstring* name) {
    Variant key;
    if (FAILED(Variant::Dereference(index, key)) || key.vt() != VT_BSTR) return false;
    *name = key.text();
    return true;
}

// The field and collection methods the driver does not use.
#define QT_NOT_IMPLEMENTED(name, ...)                      \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return E_NOTIMPL;                                  \
    }

class Recordset final
    : public quorin::Object<
          Recordset, Exposes<RecordsetStandin, IID_IDispatch, ado::kIidAdo, ado::kIidRecordset15,
                             ado::kIidRecordset20, ado::kIidRecordset21, ado::kIidRecordset>> {
  public:
    explicit Recordset(std::vector<std::wstring> names) { columns = std::move(names); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;

    // What the driver uses.
    HRESULT STDMETHODCALLTYPE get_RecordCount(ADO_LONGPTR* pl) override;
    HRESULT STDMETHODCALLTYPE AddNew(VARIANT FieldList, VARIANT Values) override;
    HRESULT STDMETHODCALLTYPE put_Collect(VARIANT Index, VARIANT value) override;
    HRESULT STDMETHODCALLTYPE get_Fields(ADOFields** ppvObject) override;
    HRESULT STDMETHODCALLTYPE MoveFirst() override;
    HRESULT STDMETHODCALLTYPE MoveNext() override;
    HRESULT STDMETHODCALLTYPE get_EOF(VARIANT_BOOL* pb) override;

    // Called by the field objects.
    HRESULT FieldItem(const VARIANT& index, std::wstring* name);
    HRESULT FieldAppendChunk(const std::wstring& name, const VARIANT& data);
    HRESULT FieldValue(const std::wstring& name, VARIANT* value);

    // Every other method: recorded as "unsupported:<name>", answered with E_NOTIMPL.
#define QT_UNSUPPORTED(name, ...)                          \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return Unsupported(#name);                         \
    }
    QT_UNSUPPORTED(GetTypeInfoCount, UINT*)
    QT_UNSUPPORTED(GetTypeInfo, UINT, LCID, ITypeInfo**)
    QT_UNSUPPORTED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    QT_UNSUPPORTED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
    QT_UNSUPPORTED(get_Properties, ADOProperties**)
    QT_UNSUPPORTED(get_AbsolutePosition, PositionEnum_Param*)
    QT_UNSUPPORTED(put_AbsolutePosition, PositionEnum_Param)
    QT_UNSUPPORTED(putref_ActiveConnection, IDispatch*)
    QT_UNSUPPORTED(put_ActiveConnection, VARIANT)
    QT_UNSUPPORTED(get_ActiveConnection, VARIANT*)
    QT_UNSUPPORTED(get_BOF, VARIANT_BOOL*)
    QT_UNSUPPORTED(get_Bookmark, VARIANT*)
    QT_UNSUPPORTED(put_Bookmark, VARIANT)
    QT_UNSUPPORTED(get_CacheSize, long*)
    QT_UNSUPPORTED(put_CacheSize, long)
    QT_UNSUPPORTED(get_CursorType, CursorTypeEnum*)
    QT_UNSUPPORTED(put_CursorType, CursorTypeEnum)
    QT_UNSUPPORTED(get_LockType, LockTypeEnum*)
    QT_UNSUPPORTED(put_LockType, LockTypeEnum)
    QT_UNSUPPORTED(get_MaxRecords, ADO_LONGPTR*)
    QT_UNSUPPORTED(put_MaxRecords, ADO_LONGPTR)
    QT_UNSUPPORTED(putref_Source, IDispatch*)
    QT_UNSUPPORTED(put_Source, BSTR)
    QT_UNSUPPORTED(get_Source, VARIANT*)
    QT_UNSUPPORTED(CancelUpdate)
    QT_UNSUPPORTED(Close)
    QT_UNSUPPORTED(Delete, AffectEnum)
    QT_UNSUPPORTED(GetRows, long, VARIANT, VARIANT, VARIANT*)
    QT_UNSUPPORTED(Move, ADO_LONGPTR, VARIANT)
    QT_UNSUPPORTED(MovePrevious)
    QT_UNSUPPORTED(MoveLast)
    QT_UNSUPPORTED(Open, VARIANT, VARIANT, CursorTypeEnum, LockTypeEnum, LONG)
    QT_UNSUPPORTED(Requery, LONG)
    QT_UNSUPPORTED(_xResync, AffectEnum)
    QT_UNSUPPORTED(Update, VARIANT, VARIANT)
    QT_UNSUPPORTED(get_AbsolutePage, PositionEnum_Param*)
    QT_UNSUPPORTED(put_AbsolutePage, PositionEnum_Param)
    QT_UNSUPPORTED(get_EditMode, EditModeEnum*)
    QT_UNSUPPORTED(get_Filter, VARIANT*)
    QT_UNSUPPORTED(put_Filter, VARIANT)
    QT_UNSUPPORTED(get_PageCount, ADO_LONGPTR*)
    QT_UNSUPPORTED(get_PageSize, long*)
    QT_UNSUPPORTED(put_PageSize, long)
    QT_UNSUPPORTED(get_Sort, BSTR*)
    QT_UNSUPPORTED(put_Sort, BSTR)
    QT_UNSUPPORTED(get_Status, long*)
    QT_UNSUPPORTED(get_State, LONG*)
    QT_UNSUPPORTED(_xClone, _ADORecordset**)
    QT_UNSUPPORTED(UpdateBatch, AffectEnum)
    QT_UNSUPPORTED(CancelBatch, AffectEnum)
    QT_UNSUPPORTED(get_CursorLocation, CursorLocationEnum*)
    QT_UNSUPPORTED(put_CursorLocation, CursorLocationEnum)
    QT_UNSUPPORTED(NextRecordset, VARIANT*, _ADORecordset**)
    QT_UNSUPPORTED(Supports, CursorOptionEnum, VARIANT_BOOL*)
    QT_UNSUPPORTED(get_Collect, VARIANT, VARIANT*)
    QT_UNSUPPORTED(get_MarshalOptions, MarshalOptionsEnum*)
    QT_UNSUPPORTED(put_MarshalOptions, MarshalOptionsEnum)
    QT_UNSUPPORTED(Find, BSTR, ADO_LONGPTR, SearchDirectionEnum, VARIANT)
    QT_UNSUPPORTED(Cancel)
    QT_UNSUPPORTED(get_DataSource, IUnknown**)
    QT_UNSUPPORTED(putref_DataSource, IUnknown*)
    QT_UNSUPPORTED(_xSave, BSTR, PersistFormatEnum)
    QT_UNSUPPORTED(get_ActiveCommand, IDispatch**)
    QT_UNSUPPORTED(put_StayInSync, VARIANT_BOOL)
    QT_UNSUPPORTED(get_StayInSync, VARIANT_BOOL*)
    QT_UNSUPPORTED(GetString, StringFormatEnum, long, BSTR, BSTR, BSTR, BSTR*)
    QT_UNSUPPORTED(get_DataMember, BSTR*)
    QT_UNSUPPORTED(put_DataMember, BSTR)
    QT_UNSUPPORTED(CompareBookmarks, VARIANT, VARIANT, CompareEnum*)
    QT_UNSUPPORTED(Clone, LockTypeEnum, _ADORecordset**)
    QT_UNSUPPORTED(Resync, AffectEnum, ResyncEnum)
    QT_UNSUPPORTED(Seek, VARIANT, SeekEnum)
    QT_UNSUPPORTED(put_Index, BSTR)
    QT_UNSUPPORTED(get_Index, BSTR*)
    QT_UNSUPPORTED(Save, VARIANT, PersistFormatEnum)
#undef QT_UNSUPPORTED

  private:
    // Records a call; answers the failure scripted for it, if any.
    HRESULT Record(const std::string& method, const std::wstring& field,
                   std::vector<quorin::Variant> args = {});
    HRESULT Unsupported(const char* name);
    bool HasColumn(const std::wstring& name) const;
};

// The field objects' IDispatch, which answers nothing: the driver calls them through their
// interfaces.
template <class Interface>
class NoDispatch : public Interface {
  public:
    QT_NOT_IMPLEMENTED(GetTypeInfoCount, UINT*)
    QT_NOT_IMPLEMENTED(GetTypeInfo, UINT, LCID, ITypeInfo**)
    QT_NOT_IMPLEMENTED(GetIDsOfNames, REFIID, LPOLESTR*, UINT, LCID, DISPID*)
    QT_NOT_IMPLEMENTED(Invoke, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*)
};

// The one field of a row that a field object stands for.
class FieldStandin final
    : public quorin::Object<FieldStandin, Exposes<NoDispatch<ADOField>, IID_IDispatch, ado::kIidAdo,
                                                  ado::kIidField20, ado::kIidField>> {
  public:
    FieldStandin(Recordset* rs, std::wstring name) : rs_(rs), name_(std::move(name)) {
        ++g_liveChildren;
    }
    ~FieldStandin() { --g_liveChildren; }

    HRESULT STDMETHODCALLTYPE get_Value(VARIANT* pvar) override {
        return rs_->FieldValue(name_, pvar);
    }
    HRESULT STDMETHODCALLTYPE AppendChunk(VARIANT Data) override {
        return rs_->FieldAppendChunk(name_, Data);
    }

    QT_NOT_IMPLEMENTED(get_Properties, ADOProperties**)
    QT_NOT_IMPLEMENTED(get_ActualSize, ADO_LONGPTR*)
    QT_NOT_IMPLEMENTED(get_Attributes, long*)
    QT_NOT_IMPLEMENTED(get_DefinedSize, ADO_LONGPTR*)
    QT_NOT_IMPLEMENTED(get_Name, BSTR*)
    QT_NOT_IMPLEMENTED(get_Type, DataTypeEnum*)
    QT_NOT_IMPLEMENTED(put_Value, VARIANT)
    QT_NOT_IMPLEMENTED(get_Precision, BYTE*)
    QT_NOT_IMPLEMENTED(get_NumericScale, BYTE*)
    QT_NOT_IMPLEMENTED(GetChunk, long, VARIANT*)
    QT_NOT_IMPLEMENTED(get_OriginalValue, VARIANT*)
    QT_NOT_IMPLEMENTED(get_UnderlyingValue, VARIANT*)
    QT_NOT_IMPLEMENTED(get_DataFormat, IUnknown**)
    QT_NOT_IMPLEMENTED(putref_DataFormat, IUnknown*)
    QT_NOT_IMPLEMENTED(put_Precision, BYTE)
    QT_NOT_IMPLEMENTED(put_NumericScale, BYTE)
    QT_NOT_IMPLEMENTED(put_Type, DataTypeEnum)
    QT_NOT_IMPLEMENTED(put_DefinedSize, ADO_LONGPTR)
    QT_NOT_IMPLEMENTED(put_Attributes, long)
    QT_NOT_IMPLEMENTED(get_Status, long*)

  private:
    ComPtr<Recordset> rs_;
    std::wstring name_;
};

// The recordset's Fields collection; only Item is served.
class FieldsStandin final
    : public quorin::Object<FieldsStandin,
                            Exposes<NoDispatch<ADOFields>, IID_IDispatch, ado::kIidCollection,
                                    ado::kIidFields15, ado::kIidFields20, ado::kIidFields>> {
  public:
    explicit FieldsStandin(Recordset* rs) : rs_(rs) { ++g_liveChildren; }
    ~FieldsStandin() { --g_liveChildren; }

    HRESULT STDMETHODCALLTYPE get_Item(VARIANT Index, ADOField** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        std::wstring name;
        HRESULT hr = rs_->FieldItem(Index, &name);
        if (FAILED(hr)) return hr;
        if (hr == S_FALSE) return S_OK;  // scripted: success and no object
        *ppvObject = new FieldStandin(rs_.get(), name);
        return S_OK;
    }

    QT_NOT_IMPLEMENTED(get_Count, long*)
    QT_NOT_IMPLEMENTED(_NewEnum, IUnknown**)
    QT_NOT_IMPLEMENTED(Refresh)
    QT_NOT_IMPLEMENTED(_Append, BSTR, DataTypeEnum, ADO_LONGPTR, FieldAttributeEnum)
    QT_NOT_IMPLEMENTED(Delete, VARIANT)
    QT_NOT_IMPLEMENTED(Append, BSTR, DataTypeEnum, ADO_LONGPTR, FieldAttributeEnum, VARIANT)
    QT_NOT_IMPLEMENTED(Update)
    QT_NOT_IMPLEMENTED(Resync, ResyncEnum)
    QT_NOT_IMPLEMENTED(CancelUpdate)

  private:
    ComPtr<Recordset> rs_;
};

#undef QT_NOT_IMPLEMENTED

HRESULT Recordset::Record(const std::string& method, const std::wstring& field,
                          std::vector<Variant> args) {
    RecordsetCall call;
    call.method = method;
    call.field = field;
    call.args = std::move(args);
    call.row = position < rows.size() ? static_cast<long>(position) : -1;
    calls.push_back(std::move(call));
    auto it = failures_.find({method, field});
    if (it == failures_.end()) it = failures_.find({method, L""});
    return it == failures_.end() ? S_OK : it->second;
}

HRESULT Recordset::Unsupported(const char* name) {
    calls.push_back({std::string("unsupported:") + name, L"", {}, -1});
    return E_NOTIMPL;
}

bool Recordset::HasColumn(const std::wstring& name) const {
    for (const std::wstring& c : columns)
        if (_wcsicmp(c.c_str(), name.c_str()) == 0) return true;
    return false;
}

HRESULT Recordset::QueryInterface(REFIID riid, void** ppv) {
    queried.push_back(riid);
    if (!isRecordset && riid != IID_IUnknown && riid != IID_IDispatch) {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return Object::QueryInterface(riid, ppv);
}

HRESULT Recordset::get_RecordCount(ADO_LONGPTR* pl) {
    HRESULT hr = Record("RecordCount", L"");
    if (FAILED(hr)) return hr;
    if (!pl) return E_POINTER;
    *pl = recordCount ? *recordCount : static_cast<ADO_LONGPTR>(rows.size());
    return S_OK;
}

HRESULT Recordset::AddNew(VARIANT FieldList, VARIANT Values) {
    HRESULT hr = Record("AddNew", L"", {Variant(FieldList), Variant(Values)});
    if (FAILED(hr)) return hr;
    Row row;
    for (const std::wstring& c : columns) {
        auto d = defaults.find(c);
        row[c] = d == defaults.end() ? Variant::Null() : d->second;
    }
    rows.push_back(row);
    position = rows.size() - 1;
    return S_OK;
}

HRESULT Recordset::put_Collect(VARIANT Index, VARIANT value) {
    std::wstring name;
    KeyName(Index, &name);
    HRESULT hr = Record("Collect", name, {Variant(Index), Variant(value)});
    if (FAILED(hr)) return hr;
    if (!HasColumn(name)) return kItemNotFound;
    if (position >= rows.size()) return kNoCurrentRecord;
    rows[position][name] = Variant(value);
    return S_OK;
}

HRESULT Recordset::get_Fields(ADOFields** ppvObject) {
    HRESULT hr = Record("Fields", L"");
    if (FAILED(hr)) return hr;
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (hr == S_FALSE) return S_OK;  // scripted: success and no object
    *ppvObject = new FieldsStandin(this);
    return S_OK;
}

HRESULT Recordset::FieldItem(const VARIANT& index, std::wstring* name) {
    KeyName(index, name);
    HRESULT hr = Record("Item", *name, {Variant(index)});
    if (FAILED(hr) || hr == S_FALSE) return hr;
    return HasColumn(*name) ? S_OK : kItemNotFound;
}

HRESULT Recordset::FieldAppendChunk(const std::wstring& name, const VARIANT& data) {
    // The first chunk after anything else replaces the value; the ones right after it append.
    const bool continues = !calls.empty() && calls.back().method == "AppendChunk" &&
                           calls.back().field == name &&
                           calls.back().row == static_cast<long>(position);
    HRESULT hr = Record("AppendChunk", name, {Variant(data)});
    if (FAILED(hr)) return hr;
    if (position >= rows.size()) return kNoCurrentRecord;
    Variant& target = rows[position][name];
    if (continues && V_VT(&data) == (VT_ARRAY | VT_UI1) && target.vt() == (VT_ARRAY | VT_UI1)) {
        std::vector<BYTE> joined = target.bytes(), more = Variant(data).bytes();
        joined.insert(joined.end(), more.begin(), more.end());
        target = Variant::Bytes(joined);
    } else {
        target = Variant(data);
    }
    return S_OK;
}

HRESULT Recordset::FieldValue(const std::wstring& name, VARIANT* value) {
    HRESULT hr = Record("Value", name);
    if (FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    if (position >= rows.size()) return kNoCurrentRecord;
    auto it = rows[position].find(name);
    VariantInit(value);
    if (it == rows[position].end()) {
        *value = Variant::Null().detach();
        return S_OK;
    }
    return VariantCopy(value, const_cast<VARIANT*>(it->second.get()));
}

HRESULT Recordset::MoveFirst() {
    HRESULT hr = Record("MoveFirst", L"");
    if (FAILED(hr)) return hr;
    position = 0;
    return S_OK;
}

HRESULT Recordset::MoveNext() {
    HRESULT hr = Record("MoveNext", L"");
    if (FAILED(hr)) return hr;
    if (position >= rows.size()) return kNoCurrentRecord;
    ++position;
    return S_OK;
}

HRESULT Recordset::get_EOF(VARIANT_BOOL* pb) {
    HRESULT hr = Record("EOF", L"");
    if (FAILED(hr)) return hr;
    if (!pb) return E_POINTER;
    *pb = position >= rows.size() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace

ComPtr<RecordsetStandin> RecordsetStandin::Create(std::vector<std::wstring> columns) {
    return ComPtr<RecordsetStandin>::adopt(new Recordset(std::move(columns)));
}

void RecordsetStandin::Fail(const std::string& method, HRESULT hr, const std::wstring& field) {
    failures_[{method, field}] = hr;
}

std::string RecordsetStandin::Trace() const {
    std::string out;
    for (const RecordsetCall& call : calls) {
        if (!out.empty()) out += ' ';
        out += call.method;
        if (!call.field.empty()) out += "(" + Narrow(call.field) + ")";
    }
    return out;
}

std::vector<RecordsetCall> RecordsetStandin::CallsOf(const std::string& method) const {
    std::vector<RecordsetCall> out;
    for (const RecordsetCall& call : calls)
        if (call.method == method) out.push_back(call);
    return out;
}

long RecordsetStandin::LiveChildren() {
    return g_liveChildren.load();
}

}  // namespace qt
