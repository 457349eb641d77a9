// Fuzzing the template unpacker: the bFingerprint values a restore reads from a host's row, made
// from real packed templates and then broken (bytes changed, cut short, lengthened, odd characters
// put in, made blank), as a byte array, as a text, by reference or as another type. Each is read
// as restore reads it (its bytes, blank or not, unpacked) and compared with what the row's format
// says: the template it holds, or the documented error with the elements before it filled.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "com/errors.h"
#include "operations/template.h"
#include "tests/fuzz.h"
#include "tests/support.h"

namespace {

using quorin::RaisedError;
using quorin::Variant;
using quorin::VbError;
using quorin::VbErrorHresult;
namespace ops = quorin::ops;

// A value of the row: its kind and its bytes (a text's UTF-16LE units; an odd byte at the end of a
// text's bytes is dropped, since a text holds whole units).
enum class Kind { Bytes, Text, ByRefBytes, ByRefText, Number, Empty, Null };
struct RowValue {
    Kind kind = Kind::Bytes;
    std::vector<BYTE> bytes;
    LONG number = 0;
};

// What the row's format says the value holds: the template buffer afterwards (it starts filled
// with kUntouched) and the error, S_OK for none.
constexpr LONG kUntouched = 0x5A5A5A5A;
struct Read {
    HRESULT hr = S_OK;
    std::vector<LONG> templ = std::vector<LONG>(quorin::device::kTemplateLength, kUntouched);
    bool operator==(const Read& o) const { return hr == o.hr && templ == o.templ; }
};

std::vector<BYTE> BytesOf(const RowValue& v) {
    switch (v.kind) {
        case Kind::Bytes:
        case Kind::ByRefBytes:
            return v.bytes;
        case Kind::Text:
        case Kind::ByRefText:
            return std::vector<BYTE>(v.bytes.begin(), v.bytes.begin() + (v.bytes.size() & ~1u));
        case Kind::Number: {
            std::vector<BYTE> bytes;
            for (char c : std::to_string(v.number)) bytes.insert(bytes.end(), {BYTE(c), 0});
            return bytes;
        }
        default:
            return {};
    }
}

// The format: blanks (spaces as 16-bit units) leave the buffer; otherwise per element five bytes,
// a sign (0 negative, anything else not) and a 31-bit magnitude most significant byte first.
Read Expected(const RowValue& v) {
    Read r;
    if (v.kind == Kind::Null) {
        r.hr = VbErrorHresult(VbError::InvalidUseOfNull);
        return r;
    }
    const std::vector<BYTE> b = BytesOf(v);
    bool blank = true;
    for (size_t k = 0; k + 1 < b.size(); k += 2) blank = blank && b[k] == 0x20 && b[k + 1] == 0;
    if (blank) return r;
    for (size_t i = 0; i < size_t(ops::kPackedElements); ++i) {
        const size_t at = i * 5;
        if (at + 4 >= b.size()) {
            r.hr = VbErrorHresult(VbError::SubscriptOutOfRange);
            return r;
        }
        if (b[at + 1] >= 0x80) {
            r.hr = VbErrorHresult(VbError::Overflow);
            return r;
        }
        const LONG magnitude =
            LONG(b[at + 1]) << 24 | LONG(b[at + 2]) << 16 | LONG(b[at + 3]) << 8 | LONG(b[at + 4]);
        r.templ[i] = b[at] == 0 ? -magnitude : magnitude;
    }
    return r;
}

// The value as the row hands it over, read as restore reads it.
Read Actual(const RowValue& v) {
    Variant inner;
    switch (v.kind) {
        case Kind::Bytes:
        case Kind::ByRefBytes:
            inner = Variant::Bytes(v.bytes);
            break;
        case Kind::Text:
        case Kind::ByRefText: {
            std::wstring text;
            for (size_t k = 0; k + 1 < v.bytes.size(); k += 2)
                text += wchar_t(v.bytes[k] | v.bytes[k + 1] << 8);
            inner = Variant::Text(text);
            break;
        }
        case Kind::Number:
            inner = Variant::I4(v.number);
            break;
        case Kind::Null:
            inner = Variant::Null();
            break;
        case Kind::Empty:
            break;
    }
    VARIANT byRef;
    VariantInit(&byRef);
    V_VT(&byRef) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byRef) = inner.get();
    const bool viaRef = v.kind == Kind::ByRefBytes || v.kind == Kind::ByRefText;
    Read r;
    ops::TemplateBuffer templ;
    std::fill(std::begin(templ), std::end(templ), kUntouched);
    try {
        const std::vector<BYTE> bytes = ops::TemplateBytes(viaRef ? byRef : *inner.get());
        if (!ops::IsBlankTemplate(bytes)) ops::UnpackTemplate(bytes, templ);
    } catch (const RaisedError& e) {
        r.hr = e.hr();
    }
    r.templ.assign(std::begin(templ), std::end(templ));
    return r;
}

// A template as a device holds one, values of every size and sign, packed.
std::vector<BYTE> RealPacked(qt::Fuzz& fuzz, ops::TemplateBuffer& templ) {
    for (LONG& v : templ) {
        switch (fuzz.Below(4)) {
            case 0:
                v = LONG(fuzz.Within(-300, 300));
                break;
            case 1:
                v = LONG(fuzz.Within(INT32_MIN + 1, INT32_MAX));
                break;
            case 2:
                v = fuzz.OneIn(2) ? INT32_MAX : INT32_MIN + 1;
                break;
            default:
                v = LONG(fuzz.Within(-70000, 70000));
                break;
        }
    }
    const ops::PackedTemplate packed = ops::PackTemplate(templ);
    return std::vector<BYTE>(packed.begin(), packed.end());
}

void Mutate(qt::Fuzz& fuzz, std::vector<BYTE>& b) {
    for (int n = int(fuzz.Below(4)); n > 0; --n) {
        switch (fuzz.Below(9)) {
            case 0:  // a random byte
                if (!b.empty()) b[fuzz.Below(b.size())] = BYTE(fuzz.Below(256));
                break;
            case 1:  // a sign byte
                if (!b.empty())
                    b[fuzz.Below(b.size() / 5 + 1) * 5 % b.size()] = BYTE(fuzz.Below(3));
                break;
            case 2:  // a magnitude's top byte with the high bit
                if (b.size() > 1) b[(fuzz.Below(b.size() / 5 + 1) * 5 + 1) % b.size()] |= 0x80;
                break;
            case 3:  // cut short
                b.resize(fuzz.Below(b.size() + 1));
                break;
            case 4:  // cut just short of a whole element
                if (b.size() > 5) b.resize(fuzz.Below(b.size() / 5) * 5 + fuzz.Below(5));
                break;
            case 5:  // longer
                for (int k = int(fuzz.Below(20)); k > 0; --k) b.push_back(BYTE(fuzz.Below(256)));
                break;
            case 6: {  // an odd character: a lone surrogate, a non-character, a nul, a BOM
                static const wchar_t odd[] = {0xD800, 0xDFFF, 0xFFFF, 0x0000, 0xFEFF, 0x3000};
                const wchar_t c = odd[fuzz.Below(std::size(odd))];
                if (b.size() >= 2) {
                    const size_t at = fuzz.Below(b.size() / 2) * 2;
                    b[at] = BYTE(c & 0xFF);
                    b[at + 1] = BYTE(c >> 8);
                }
                break;
            }
            case 7:  // blank: spaces as 16-bit units, perhaps an odd byte after them
                b.assign(fuzz.Below(2400) * 2, 0);
                for (size_t k = 0; k < b.size(); k += 2) b[k] = 0x20;
                if (fuzz.OneIn(2)) b.push_back(BYTE(fuzz.Below(256)));
                break;
            default:  // random bytes of a random length
                b.resize(fuzz.Below(2400));
                for (BYTE& x : b) x = BYTE(fuzz.Below(256));
                break;
        }
    }
}

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (BYTE x : bytes) out += {digits[x >> 4], digits[x & 15]};
    return out;
}

// A kept input: the kind's name, a line break, the bytes in hexadecimal (or the number).
const char* const kKindNames[] = {"bytes",  "text",  "byref-bytes", "byref-text",
                                  "number", "empty", "null"};
std::string Keep(const RowValue& v) {
    return std::string(kKindNames[int(v.kind)]) + "\n" +
           (v.kind == Kind::Number ? std::to_string(v.number) : Hex(v.bytes)) + "\n";
}
RowValue FromKept(const std::string& text) {
    std::istringstream in(text);
    std::string kind, data;
    std::getline(in, kind);
    std::getline(in, data);
    RowValue v;
    for (int k = 0; k < int(std::size(kKindNames)); ++k)
        if (kind == kKindNames[k]) v.kind = Kind(k);
    if (v.kind == Kind::Number) v.number = std::stol(data);
    for (size_t k = 0; k + 1 < data.size(); k += 2)
        v.bytes.push_back(BYTE(std::stoi(data.substr(k, 2), nullptr, 16)));
    return v;
}

std::string Describe(const Read& r) {
    std::ostringstream out;
    out << "hr=0x" << std::hex << r.hr << std::dec << " templ[0..3]=";
    for (int i = 0; i < 4; ++i) out << r.templ[i] << " ";
    size_t filled = 0;
    while (filled < r.templ.size() && r.templ[filled] != kUntouched) ++filled;
    out << "filled=" << filled;
    return out.str();
}

TEST(FuzzTemplate, EveryRowValueIsReadAsItsFormatSaysOrRefused) {
    qt::Fuzz fuzz("template", 300000);
    int failures = 0;
    auto check = [&](const RowValue& v, const std::string& what) {
        const Read want = Expected(v), got = Actual(v);
        if (want == got) return;
        ++failures;
        ADD_FAILURE() << what << ": expected " << Describe(want) << ", got " << Describe(got)
                      << "; input " << fuzz.KeepFailure(Keep(v), ".txt");
    };
    for (const qt::Fuzz::Kept& kept : fuzz.Regressions()) check(FromKept(kept.bytes), kept.name);

    int accepted = 0, refused = 0;
    while (fuzz.Next() && failures < 5) {
        RowValue v;
        const uint64_t kind = fuzz.Below(20);
        v.kind = kind < 8    ? Kind::Bytes
                 : kind < 15 ? Kind::Text
                 : kind < 17 ? (fuzz.OneIn(2) ? Kind::ByRefBytes : Kind::ByRefText)
                 : kind < 18 ? Kind::Number
                 : kind < 19 ? Kind::Empty
                             : Kind::Null;
        v.number = LONG(fuzz.Within(INT32_MIN, INT32_MAX));
        ops::TemplateBuffer real = {};
        v.bytes = RealPacked(fuzz, real);
        // Unchanged, a real template reads back exactly: its stored elements, the last untouched.
        if (v.kind == Kind::Bytes && fuzz.OneIn(10)) {
            Read want;
            std::copy(std::begin(real), std::begin(real) + ops::kPackedElements,
                      want.templ.begin());
            ASSERT_EQ(Describe(want), Describe(Actual(v)));
            ASSERT_TRUE(want == Actual(v));
        }
        Mutate(fuzz, v.bytes);
        check(v, "input " + std::to_string(fuzz.done()));
        (Expected(v).hr == S_OK ? accepted : refused)++;
    }
    std::printf("fuzz template: %d read, %d refused\n", accepted, refused);
    EXPECT_LT(0, accepted);
    EXPECT_LT(0, refused);
}

}  // namespace
