#include "operations/enrollment_row.h"

#include "com/com.h"
#include "com/errors.h"

namespace quorin::ops {

namespace {

// A field name as the text variant the recordset is keyed by.
Variant FieldKey(const wchar_t* name) {
    Variant key = Variant::Text(name);
    if (!V_BSTR(key.get())) Raise(VbError::OutOfMemory);
    return key;
}

ComPtr<ADOField> FieldOf(_ADORecordset* rs, const wchar_t* name) {
    ComPtr<ADOFields> fields;
    Check(rs->get_Fields(fields.put()));
    if (!fields) Raise(VbError::ObjectNotSet);
    const Variant key = FieldKey(name);
    ComPtr<ADOField> field;
    Check(fields->get_Item(*key.get(), field.put()));
    if (!field) Raise(VbError::ObjectNotSet);
    return field;
}

}  // namespace

_ADORecordset* RecordsetOrRaise(_ADORecordset* rs) {
    if (!rs) Raise(VbError::ObjectNotSet);
    return rs;
}

void WriteField(_ADORecordset* rs, const wchar_t* name, const Variant& value) {
    const Variant key = FieldKey(name);
    Check(rs->put_Collect(*key.get(), *value.get()));
}

void AppendTemplate(_ADORecordset* rs, const PackedTemplate& packed) {
    ComPtr<ADOField> field = FieldOf(rs, kFieldTemplate);
    const Variant chunk = Variant::Bytes(packed.data(), packed.size());
    Check(field->AppendChunk(*chunk.get()));
}

Variant ReadField(_ADORecordset* rs, const wchar_t* name) {
    ComPtr<ADOField> field = FieldOf(rs, name);
    Variant value;
    Check(field->get_Value(value.put()));
    return value;
}

}  // namespace quorin::ops
