// A recordset of our own in place of the host's ADO recordset: it implements the ADO recordset
// interface with the calls the driver makes (RecordCount, AddNew, Collect, Fields -> Item ->
// AppendChunk and Value, MoveFirst, MoveNext, EOF) and answers every other one with E_NOTIMPL.
// Rows, counts and failures are scripted; every call is recorded with its arguments as received.
// It has no registration: a host hands its recordset object to the driver directly, and so do
// the tests and the console.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "com/ado.h"
#include "com/com.h"
#include "com/object.h"
#include "com/variant.h"

namespace qt {

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

// A row: the columns' values.
using Row = std::map<std::wstring, quorin::Variant>;

struct RecordsetCall {
    std::string method;  // "RecordCount", "Collect", "Item", ... or "unsupported:<name>"
    std::wstring field;  // the field a call names or belongs to
    std::vector<quorin::Variant> args;
    long row = -1;  // the current row when the call came
};

// The columns of an enrollment row.
std::vector<std::wstring> EnrollmentColumns();

class RecordsetStandin final
    : public quorin::Object<
          RecordsetStandin,
          quorin::Exposes<_ADORecordset, IID_IDispatch, ado::kIidAdo, ado::kIidRecordset15,
                          ado::kIidRecordset20, ado::kIidRecordset21, ado::kIidRecordset>> {
  public:
    // A new recordset with these columns and no rows, positioned at its end.
    static quorin::ComPtr<RecordsetStandin> Create(
        std::vector<std::wstring> columns = EnrollmentColumns());

    // Script. Rows hold the columns' values (a missing value reads as Null).
    std::vector<std::wstring> columns;
    std::vector<Row> rows;
    size_t position = 0;                     // the current row; rows.size() is the end (EOF)
    std::optional<ADO_LONGPTR> recordCount;  // what RecordCount answers instead of rows.size()
    Row defaults;  // what a row added by AddNew starts with (other columns start as Null)
    // Makes a call fail with hr (for the named field only, when one is given).
    void Fail(const std::string& method, HRESULT hr, const std::wstring& field = L"");

    // With false, QueryInterface answers IUnknown and IDispatch only, as an object of another
    // kind does; every recordset call that still reaches it is recorded.
    bool isRecordset = true;

    // Observations.
    std::vector<RecordsetCall> calls;
    // Every QueryInterface, by the identifier asked for, answered or not.
    std::vector<GUID> queried;
    // The calls in order: "RecordCount AddNew Collect(cpsn_num) Fields Item(bFingerprint) ...".
    std::string Trace() const;
    std::vector<RecordsetCall> CallsOf(const std::string& method) const;
    // Fields and field objects handed out and not yet released.
    static long LiveChildren();

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

    // Everything else.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override;
    HRESULT STDMETHODCALLTYPE get_Properties(ADOProperties**) override;
    HRESULT STDMETHODCALLTYPE get_AbsolutePosition(PositionEnum_Param*) override;
    HRESULT STDMETHODCALLTYPE put_AbsolutePosition(PositionEnum_Param) override;
    HRESULT STDMETHODCALLTYPE putref_ActiveConnection(IDispatch*) override;
    HRESULT STDMETHODCALLTYPE put_ActiveConnection(VARIANT) override;
    HRESULT STDMETHODCALLTYPE get_ActiveConnection(VARIANT*) override;
    HRESULT STDMETHODCALLTYPE get_BOF(VARIANT_BOOL*) override;
    HRESULT STDMETHODCALLTYPE get_Bookmark(VARIANT*) override;
    HRESULT STDMETHODCALLTYPE put_Bookmark(VARIANT) override;
    HRESULT STDMETHODCALLTYPE get_CacheSize(long*) override;
    HRESULT STDMETHODCALLTYPE put_CacheSize(long) override;
    HRESULT STDMETHODCALLTYPE get_CursorType(CursorTypeEnum*) override;
    HRESULT STDMETHODCALLTYPE put_CursorType(CursorTypeEnum) override;
    HRESULT STDMETHODCALLTYPE get_LockType(LockTypeEnum*) override;
    HRESULT STDMETHODCALLTYPE put_LockType(LockTypeEnum) override;
    HRESULT STDMETHODCALLTYPE get_MaxRecords(ADO_LONGPTR*) override;
    HRESULT STDMETHODCALLTYPE put_MaxRecords(ADO_LONGPTR) override;
    HRESULT STDMETHODCALLTYPE putref_Source(IDispatch*) override;
    HRESULT STDMETHODCALLTYPE put_Source(BSTR) override;
    HRESULT STDMETHODCALLTYPE get_Source(VARIANT*) override;
    HRESULT STDMETHODCALLTYPE CancelUpdate() override;
    HRESULT STDMETHODCALLTYPE Close() override;
    HRESULT STDMETHODCALLTYPE Delete(AffectEnum) override;
    HRESULT STDMETHODCALLTYPE GetRows(long, VARIANT, VARIANT, VARIANT*) override;
    HRESULT STDMETHODCALLTYPE Move(ADO_LONGPTR, VARIANT) override;
    HRESULT STDMETHODCALLTYPE MovePrevious() override;
    HRESULT STDMETHODCALLTYPE MoveLast() override;
    HRESULT STDMETHODCALLTYPE Open(VARIANT, VARIANT, CursorTypeEnum, LockTypeEnum, LONG) override;
    HRESULT STDMETHODCALLTYPE Requery(LONG) override;
    HRESULT STDMETHODCALLTYPE _xResync(AffectEnum) override;
    HRESULT STDMETHODCALLTYPE Update(VARIANT, VARIANT) override;
    HRESULT STDMETHODCALLTYPE get_AbsolutePage(PositionEnum_Param*) override;
    HRESULT STDMETHODCALLTYPE put_AbsolutePage(PositionEnum_Param) override;
    HRESULT STDMETHODCALLTYPE get_EditMode(EditModeEnum*) override;
    HRESULT STDMETHODCALLTYPE get_Filter(VARIANT*) override;
    HRESULT STDMETHODCALLTYPE put_Filter(VARIANT) override;
    HRESULT STDMETHODCALLTYPE get_PageCount(ADO_LONGPTR*) override;
    HRESULT STDMETHODCALLTYPE get_PageSize(long*) override;
    HRESULT STDMETHODCALLTYPE put_PageSize(long) override;
    HRESULT STDMETHODCALLTYPE get_Sort(BSTR*) override;
    HRESULT STDMETHODCALLTYPE put_Sort(BSTR) override;
    HRESULT STDMETHODCALLTYPE get_Status(long*) override;
    HRESULT STDMETHODCALLTYPE get_State(LONG*) override;
    HRESULT STDMETHODCALLTYPE _xClone(_ADORecordset**) override;
    HRESULT STDMETHODCALLTYPE UpdateBatch(AffectEnum) override;
    HRESULT STDMETHODCALLTYPE CancelBatch(AffectEnum) override;
    HRESULT STDMETHODCALLTYPE get_CursorLocation(CursorLocationEnum*) override;
    HRESULT STDMETHODCALLTYPE put_CursorLocation(CursorLocationEnum) override;
    HRESULT STDMETHODCALLTYPE NextRecordset(VARIANT*, _ADORecordset**) override;
    HRESULT STDMETHODCALLTYPE Supports(CursorOptionEnum, VARIANT_BOOL*) override;
    HRESULT STDMETHODCALLTYPE get_Collect(VARIANT, VARIANT*) override;
    HRESULT STDMETHODCALLTYPE get_MarshalOptions(MarshalOptionsEnum*) override;
    HRESULT STDMETHODCALLTYPE put_MarshalOptions(MarshalOptionsEnum) override;
    HRESULT STDMETHODCALLTYPE Find(BSTR, ADO_LONGPTR, SearchDirectionEnum, VARIANT) override;
    HRESULT STDMETHODCALLTYPE Cancel() override;
    HRESULT STDMETHODCALLTYPE get_DataSource(IUnknown**) override;
    HRESULT STDMETHODCALLTYPE putref_DataSource(IUnknown*) override;
    HRESULT STDMETHODCALLTYPE _xSave(BSTR, PersistFormatEnum) override;
    HRESULT STDMETHODCALLTYPE get_ActiveCommand(IDispatch**) override;
    HRESULT STDMETHODCALLTYPE put_StayInSync(VARIANT_BOOL) override;
    HRESULT STDMETHODCALLTYPE get_StayInSync(VARIANT_BOOL*) override;
    HRESULT STDMETHODCALLTYPE GetString(StringFormatEnum, long, BSTR, BSTR, BSTR, BSTR*) override;
    HRESULT STDMETHODCALLTYPE get_DataMember(BSTR*) override;
    HRESULT STDMETHODCALLTYPE put_DataMember(BSTR) override;
    HRESULT STDMETHODCALLTYPE CompareBookmarks(VARIANT, VARIANT, CompareEnum*) override;
    HRESULT STDMETHODCALLTYPE Clone(LockTypeEnum, _ADORecordset**) override;
    HRESULT STDMETHODCALLTYPE Resync(AffectEnum, ResyncEnum) override;
    HRESULT STDMETHODCALLTYPE Seek(VARIANT, SeekEnum) override;
    HRESULT STDMETHODCALLTYPE put_Index(BSTR) override;
    HRESULT STDMETHODCALLTYPE get_Index(BSTR*) override;
    HRESULT STDMETHODCALLTYPE Save(VARIANT, PersistFormatEnum) override;

  private:
    // Made by Create only, and deleted by the last Release.
    friend Object;
    RecordsetStandin() = default;
    ~RecordsetStandin() = default;
    // Records a call; answers the failure scripted for it, if any.
    HRESULT Record(const std::string& method, const std::wstring& field,
                   std::vector<quorin::Variant> args = {});
    HRESULT Unsupported(const char* name);
    bool HasColumn(const std::wstring& name) const;

    std::map<std::pair<std::string, std::wstring>, HRESULT> failures_;
};

// ADO's own errors for a name that is not a field and for a position with no current row.
inline constexpr HRESULT kItemNotFound = static_cast<HRESULT>(0x800A0CC1);
inline constexpr HRESULT kNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);

}  // namespace qt
