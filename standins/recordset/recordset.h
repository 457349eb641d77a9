// A recordset of our own in place of the host's ADO recordset: it implements the ADO recordset
// interface with the calls the driver makes (RecordCount, AddNew, Collect, Fields -> Item ->
// AppendChunk and Value, MoveFirst, MoveNext, EOF) and answers every other one with E_NOTIMPL.
// Rows, counts and failures are scripted; every call is recorded with its arguments as received.
// It has no registration: a host hands its recordset object to the driver directly, and so do
// the tests and the console.
//
// This is the script and what it observes; the interface's methods are implemented by a class of
// recordset.cpp made by Create. The object is an _ADORecordset, so a test hands it over as one.
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
#include "com/variant.h"

namespace qt {

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

class RecordsetStandin : public _ADORecordset {
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
    // Makes a call fail with hr (for the named field only, when one is given). S_FALSE makes
    // Fields or Item answer S_OK with no object, as a recordset of another make might.
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

  protected:
    // Made by Create only, and deleted by the last Release.
    RecordsetStandin() = default;
    ~RecordsetStandin() = default;

    // The failures Fail scripted: (method, field) -> hr; an empty field stands for every one.
    std::map<std::pair<std::string, std::wstring>, HRESULT> failures_;
};

}  // namespace qt
