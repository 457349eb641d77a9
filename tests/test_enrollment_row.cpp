// The enrollment row's packing and reading rules, tested on the functions themselves.
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "com/errors.h"
#include "operations/conversions.h"
#include "operations/template.h"
#include "standins/recordset/recordset.h"
#include "tests/support.h"

namespace {

using quorin::RaisedError;
using quorin::VbError;
using quorin::VbErrorHresult;
using quorin::ops::TemplateBuffer;

// The error a call raised, S_OK when it raised none.
template <class F>
HRESULT ErrorOf(F&& f) {
    try {
        f();
    } catch (const RaisedError& e) {
        return e.hr();
    }
    return S_OK;
}

const HRESULT kOverflow = VbErrorHresult(VbError::Overflow);
const HRESULT kSubscript = VbErrorHresult(VbError::SubscriptOutOfRange);
const HRESULT kMismatch = VbErrorHresult(VbError::TypeMismatch);
const HRESULT kNull = VbErrorHresult(VbError::InvalidUseOfNull);

std::vector<BYTE> Group(const quorin::ops::PackedTemplate& p, int i) {
    return std::vector<BYTE>(p.begin() + i * 5, p.begin() + i * 5 + 5);
}

std::vector<BYTE> Packed(const TemplateBuffer& t) {
    auto p = quorin::ops::PackTemplate(t);
    return std::vector<BYTE>(p.begin(), p.end());
}

TEST(PackTemplate, ZerosAreGroupsOfOneThenFourZerosAndAClosingZero) {
    TemplateBuffer t = {};
    auto p = quorin::ops::PackTemplate(t);
    ASSERT_EQ(2296u, p.size());
    for (int i = 0; i < 459; ++i) EXPECT_EQ((std::vector<BYTE>{1, 0, 0, 0, 0}), Group(p, i)) << i;
    EXPECT_EQ(0, p[2295]);
}

TEST(PackTemplate, SignFlagThenMagnitudeMostSignificantFirst) {
    struct Case {
        LONG value;
        std::vector<BYTE> group;
    } cases[] = {
        {-1, {0, 0, 0, 0, 1}},         {2147483647, {1, 0x7F, 0xFF, 0xFF, 0xFF}},
        {-256, {0, 0, 0, 1, 0}},       {-2147483647, {0, 0x7F, 0xFF, 0xFF, 0xFF}},
        {0x01020304, {1, 1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        for (int at : {0, 1, 230, 458}) {
            TemplateBuffer t = {};
            t[at] = c.value;
            auto p = quorin::ops::PackTemplate(t);
            EXPECT_EQ(c.group, Group(p, at)) << c.value << " at " << at;
            // Its neighbours stay plain zeros.
            const std::vector<BYTE> zero = {1, 0, 0, 0, 0};
            if (at > 0) {
                EXPECT_EQ(zero, Group(p, at - 1));
            }
            if (at < 458) {
                EXPECT_EQ(zero, Group(p, at + 1));
            }
            EXPECT_EQ(0, p[2295]);
        }
    }
}

TEST(PackTemplate, ElementFourHundredFiftyNineIsNeverStored) {
    TemplateBuffer zeros = {};
    for (LONG v : {LONG{-1}, LONG{2147483647}, LONG{-256}, LONG{INT32_MIN}}) {
        TemplateBuffer t = {};
        t[459] = v;
        EXPECT_EQ(Packed(zeros), Packed(t)) << v;
    }
}

TEST(PackTemplate, MostNegativeValueHasNoMagnitude) {
    for (int at : {0, 200, 458}) {
        TemplateBuffer t = {};
        t[at] = INT32_MIN;
        EXPECT_EQ(kOverflow, ErrorOf([&] { quorin::ops::PackTemplate(t); })) << at;
    }
}

TEST(UnpackTemplate, RoundTripOverRandomBuffers) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::int32_t> any(INT32_MIN + 1, INT32_MAX);
    for (int round = 0; round < 50; ++round) {
        TemplateBuffer t;
        for (LONG& v : t) v = any(random);
        if (round == 1) t[0] = 0;
        auto p = quorin::ops::PackTemplate(t);
        TemplateBuffer back = {};
        quorin::ops::UnpackTemplate(std::vector<BYTE>(p.begin(), p.end()), back);
        for (int i = 0; i < 459; ++i) ASSERT_EQ(t[i], back[i]) << "round " << round << " at " << i;
        EXPECT_EQ(0, back[459]);
    }
}

TEST(UnpackTemplate, EitherZeroGroupIsZeroAndAnyNonZeroFlagIsPositive) {
    std::vector<BYTE> b(2296, 0);
    // Group 0: negative zero; group 1: positive zero; group 2: flag 2; group 3: flag 0xFF.
    BYTE groups[][5] = {{0, 0, 0, 0, 0}, {1, 0, 0, 0, 0}, {2, 0, 0, 1, 2}, {0xFF, 0x7F, 0, 0, 0}};
    for (int g = 0; g < 4; ++g)
        for (int k = 0; k < 5; ++k) b[g * 5 + k] = groups[g][k];
    TemplateBuffer t;
    for (LONG& v : t) v = 99;  // every stored element is overwritten, 459 is left alone
    quorin::ops::UnpackTemplate(b, t);
    EXPECT_EQ(0, t[0]);
    EXPECT_EQ(0, t[1]);
    EXPECT_EQ(258, t[2]);
    EXPECT_EQ(0x7F000000, t[3]);
    EXPECT_EQ(99, t[459]);
}

TEST(UnpackTemplate, MagnitudeBeyondThirtyOneBitsOverflowsWithEitherFlag) {
    for (BYTE flag : {0, 1}) {
        std::vector<BYTE> b(2296, 0);
        b[5 * 7] = flag;
        b[5 * 7 + 1] = 0x80;
        TemplateBuffer t = {};
        EXPECT_EQ(kOverflow, ErrorOf([&] { quorin::ops::UnpackTemplate(b, t); })) << int(flag);
    }
}

TEST(UnpackTemplate, LengthDecidesHowFarItGets) {
    TemplateBuffer source;
    for (int i = 0; i < 460; ++i) source[i] = i * 1000 - 7;
    std::vector<BYTE> full = Packed(source);

    // 2295 bytes are enough; whatever follows byte 2294 is ignored.
    std::vector<BYTE> exact(full.begin(), full.begin() + 2295), longer = full;
    longer.resize(3000, 0xEE);
    for (const auto& b : {exact, longer}) {
        TemplateBuffer t = {};
        quorin::ops::UnpackTemplate(b, t);
        EXPECT_EQ(source[458], t[458]);
    }

    // 2294 bytes: element 458 fails at its last byte, the ones before it stay unpacked.
    std::vector<BYTE> shorter(full.begin(), full.begin() + 2294);
    TemplateBuffer t = {};
    EXPECT_EQ(kSubscript, ErrorOf([&] { quorin::ops::UnpackTemplate(shorter, t); }));
    EXPECT_EQ(source[457], t[457]);
    EXPECT_EQ(0, t[458]);
}

TEST(TemplateBytes, BlankWhenEveryWholeUnitIsABlank) {
    struct Case {
        quorin::Variant value;
        bool blank;
        size_t length;
    } cases[] = {
        {quorin::Variant::Bytes({0x20, 0x00, 0x20, 0x00}), true, 4},
        {quorin::Variant::Bytes({0x01}), true, 1},
        {quorin::Variant::Bytes({}), true, 0},
        {quorin::Variant(), true, 0},              // Empty
        {quorin::Variant::Text(L"   "), true, 6},  // blanks as UTF-16LE
        {quorin::Variant::Text(L""), true, 0},
        {quorin::Variant::Bytes({0x20, 0x00, 0x41}), true, 3},  // the odd last byte is no unit
        {quorin::Variant::Bytes({0x01, 0x02, 0x03}), false, 3},
        {quorin::Variant::Bytes({0x20, 0x01}), false, 2},
        {quorin::Variant::I4(5), false, 2},  // its text "5"
    };
    for (const Case& c : cases) {
        std::vector<BYTE> b = quorin::ops::TemplateBytes(*c.value.get());
        EXPECT_EQ(c.length, b.size()) << c.value.vt();
        EXPECT_EQ(c.blank, quorin::ops::IsBlankTemplate(b)) << c.value.vt() << " " << b.size();
    }
    // Not blank and too short: it goes to unpacking, which runs out of bytes.
    TemplateBuffer t = {};
    EXPECT_EQ(kSubscript, ErrorOf([&] { quorin::ops::UnpackTemplate({1, 2, 3}, t); }));
    EXPECT_EQ(kNull, ErrorOf([&] { quorin::ops::TemplateBytes(*quorin::Variant::Null().get()); }));
    // Bytes in more than one dimension, and a value with no text, are no template.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    VARIANT grid;
    V_VT(&grid) = VT_ARRAY | VT_UI1;
    V_ARRAY(&grid) = SafeArrayCreate(VT_UI1, 2, bounds);
    ASSERT_NE(nullptr, V_ARRAY(&grid));
    EXPECT_EQ(kMismatch, ErrorOf([&] { quorin::ops::TemplateBytes(grid); }));
    SafeArrayDestroy(V_ARRAY(&grid));
    VARIANT none;
    V_VT(&none) = VT_UNKNOWN;
    V_UNKNOWN(&none) = nullptr;
    EXPECT_EQ(kMismatch, ErrorOf([&] { quorin::ops::TemplateBytes(none); }));
}

TEST(TemplateBytes, TextGivesItsUtf16Bytes) {
    std::vector<BYTE> b = quorin::ops::TemplateBytes(*quorin::Variant::Text(L"A\u4E2D").get());
    EXPECT_EQ((std::vector<BYTE>{0x41, 0x00, 0x2D, 0x4E}), b);
}

TEST(ToInteger, HalvesGoToTheEvenNeighbour) {
    struct Case {
        const wchar_t* text;
        short expected;
    } cases[] = {
        {L"2.5", 2},
        {L"3.5", 4},
        {L"-2.5", -2},
        {L"-3.5", -4},
        {L"0.5", 0},
        {L"1.5", 2},
        {L"2.500001", 3},
        {L"2.6", 3},
        {L"-2.6", -3},
        {L"2.4999", 2},
        {L" 12 ", 12},
        {L"007", 7},
        {L"+5", 5},
        {L".5", 0},
        {L"5.", 5},
        {L"\t-8\t", -8},
        {L"32767", 32767},
        {L"-32768", -32768},
        {L"32767.4", 32767},
        {L"-32768.5", -32768},
        {L"00000000000000000000042", 42},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, quorin::ops::ToInteger(*quorin::Variant::Text(c.text).get()))
            << c.text;
        quorin::Bstr text(c.text);
        EXPECT_EQ(c.expected, quorin::ops::ToInteger(text.get())) << c.text;
    }
    const std::pair<double, short> numbers[] = {{2.5, 2}, {3.5, 4}, {-0.5, 0}, {32767.49, 32767}};
    for (auto [number, expected] : numbers)
        EXPECT_EQ(expected, quorin::ops::ToInteger(*quorin::Variant::R8(number).get())) << number;
}

TEST(ToInteger, TextThatIsNoNumberIsATypeMismatch) {
    for (const wchar_t* text : {L"", L"   ", L"abc", L"12abc", L"1.5x", L"1 2", L"1,000", L"1e3",
                                L"0x10", L"--1", L"+", L".", L"- 1", L"\x0661"}) {
        EXPECT_EQ(kMismatch,
                  ErrorOf([&] { quorin::ops::ToInteger(*quorin::Variant::Text(text).get()); }))
            << static_cast<const void*>(text);
    }
    EXPECT_EQ(kMismatch, ErrorOf([] { quorin::ops::ToInteger(static_cast<BSTR>(nullptr)); }));
}

TEST(ToInteger, OutOfRangeOverflowsAndNullIsInvalid) {
    for (const wchar_t* text : {L"32768", L"-32769", L"32767.5", L"99999999999999999999999999"}) {
        EXPECT_EQ(kOverflow,
                  ErrorOf([&] { quorin::ops::ToInteger(*quorin::Variant::Text(text).get()); }))
            << static_cast<const void*>(text);
    }
    EXPECT_EQ(kOverflow,
              ErrorOf([] { quorin::ops::ToInteger(*quorin::Variant::I4(32768).get()); }));
    EXPECT_EQ(kOverflow,
              ErrorOf([] { quorin::ops::ToInteger(*quorin::Variant::R8(1e300).get()); }));
    EXPECT_EQ(kNull, ErrorOf([] { quorin::ops::ToInteger(*quorin::Variant::Null().get()); }));
    EXPECT_EQ(0, quorin::ops::ToInteger(*quorin::Variant().get()));  // Empty
}

TEST(ToInteger, NumericVariantsConvertByTheirValue) {
    VARIANT v;
    V_VT(&v) = VT_CY;
    V_CY(&v).int64 = 25000;  // 2.5
    EXPECT_EQ(2, quorin::ops::ToInteger(v));
    V_CY(&v).int64 = -35000;
    EXPECT_EQ(-4, quorin::ops::ToInteger(v));

    VARIANT dec;
    VariantInit(&dec);
    ASSERT_EQ(S_OK, VarDecFromR8(3.5, &V_DECIMAL(&dec)));
    V_VT(&dec) = VT_DECIMAL;
    EXPECT_EQ(4, quorin::ops::ToInteger(dec));

    EXPECT_EQ(-1, quorin::ops::ToInteger(*quorin::Variant::Bool(true).get()));
    EXPECT_EQ(0, quorin::ops::ToInteger(*quorin::Variant::Bool(false).get()));
    // Currency and reals above a half, and halves, by their sign.
    for (auto [units, expected] : {std::pair<LONGLONG, short>{26000, 3},
                                   {35000, 4},
                                   {-26000, -3},
                                   {-25000, -2},
                                   {-15000, -2}}) {
        V_CY(&v).int64 = units;
        EXPECT_EQ(expected, quorin::ops::ToInteger(v)) << units;
    }
    EXPECT_EQ(3, quorin::ops::ToInteger(*quorin::Variant::R8(2.75).get()));
    EXPECT_EQ(-3, quorin::ops::ToInteger(*quorin::Variant::R8(-2.75).get()));
    EXPECT_EQ(kOverflow,
              ErrorOf([] { quorin::ops::ToInteger(*quorin::Variant::R8(std::nan("")).get()); }));
    EXPECT_EQ(kOverflow,
              ErrorOf([] { quorin::ops::ToInteger(*quorin::Variant::R8(-1e300).get()); }));

    SHORT target = 321;
    EXPECT_EQ(321, quorin::ops::ToInteger(*quorin::Variant::RefI2(&target).get()));

    EXPECT_EQ(kMismatch,
              ErrorOf([] { quorin::ops::ToInteger(*quorin::Variant::Missing().get()); }));

    // A reference of no type the system knows is no number.
    VARIANT unknown;
    V_VT(&unknown) = VT_BYREF | 15;
    V_BYREF(&unknown) = &target;
    EXPECT_EQ(kMismatch, ErrorOf([&] { quorin::ops::ToInteger(unknown); }));
}

// Every whole and real type a field can hold converts by its value: in range, rounded with
// halves to the even neighbour, or an overflow.
TEST(ToInteger, EveryNumericTypeByItsValue) {
    struct Case {
        VARTYPE vt;
        long long whole;  // for the whole types
        double real;      // for VT_R4 and VT_DATE
        HRESULT error;
        short expected;
    };
    const Case cases[] = {
        {VT_I1, -5, 0, S_OK, -5},
        {VT_UI1, 200, 0, S_OK, 200},
        {VT_UI2, 300, 0, S_OK, 300},
        {VT_UI2, 40000, 0, kOverflow, 0},
        {VT_UI4, 7, 0, S_OK, 7},
        {VT_UI4, 70000, 0, kOverflow, 0},
        {VT_INT, -9, 0, S_OK, -9},
        {VT_UINT, 4000000000, 0, kOverflow, 0},
        {VT_I8, -32768, 0, S_OK, -32768},
        {VT_I8, -32769, 0, kOverflow, 0},
        {VT_I8, 1000000000000000000, 0, kOverflow, 0},
        {VT_UI8, 5, 0, S_OK, 5},
        {VT_UI8, -1, 0, kOverflow, 0},  // the largest unsigned value
        {VT_R4, 0, 2.5, S_OK, 2},
        {VT_R4, 0, -32768.5, S_OK, -32768},
        {VT_R4, 0, 40000, kOverflow, 0},
        {VT_DATE, 0, 3.5, S_OK, 4},
        {VT_DATE, 0, 32767.5, kOverflow, 0},
    };
    for (const Case& c : cases) {
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = c.vt;
        switch (c.vt) {
            case VT_I1:
                V_I1(&v) = static_cast<CHAR>(c.whole);
                break;
            case VT_UI1:
                V_UI1(&v) = static_cast<BYTE>(c.whole);
                break;
            case VT_UI2:
                V_UI2(&v) = static_cast<USHORT>(c.whole);
                break;
            case VT_UI4:
                V_UI4(&v) = static_cast<ULONG>(c.whole);
                break;
            case VT_INT:
                V_INT(&v) = static_cast<INT>(c.whole);
                break;
            case VT_UINT:
                V_UINT(&v) = static_cast<UINT>(c.whole);
                break;
            case VT_I8:
                V_I8(&v) = c.whole;
                break;
            case VT_UI8:
                V_UI8(&v) = static_cast<ULONGLONG>(c.whole);
                break;
            case VT_R4:
                V_R4(&v) = static_cast<float>(c.real);
                break;
            default:
                V_DATE(&v) = c.real;
                break;
        }
        SCOPED_TRACE(testing::Message() << "type " << c.vt << ", " << c.whole << ", " << c.real);
        short got = 0;
        EXPECT_EQ(c.error, ErrorOf([&] { got = quorin::ops::ToInteger(v); }));
        if (c.error == S_OK) {
            EXPECT_EQ(c.expected, got);
        }
    }
}

TEST(PasswordOf, TakesTheWholeSignedThirtyTwoBitRange) {
    EXPECT_EQ(100000, quorin::ops::PasswordOf(*quorin::Variant::Text(L"100000").get()));
    EXPECT_EQ(2147483647, quorin::ops::PasswordOf(*quorin::Variant::Text(L"2147483647").get()));
    EXPECT_EQ(INT32_MIN, quorin::ops::PasswordOf(*quorin::Variant::Text(L"-2147483648").get()));
    EXPECT_EQ(kOverflow, ErrorOf([] {
                  quorin::ops::PasswordOf(*quorin::Variant::Text(L"2147483648").get());
              }));
    EXPECT_EQ(kOverflow, ErrorOf([] {
                  quorin::ops::PasswordOf(*quorin::Variant::Text(L"2147483647.5").get());
              }));
}

TEST(PasswordOf, NullAndBlankAreZeroAndNumbersKeepTheirValue) {
    EXPECT_EQ(0, quorin::ops::PasswordOf(*quorin::Variant::Null().get()));
    EXPECT_EQ(0, quorin::ops::PasswordOf(*quorin::Variant().get()));
    EXPECT_EQ(0, quorin::ops::PasswordOf(*quorin::Variant::Text(L"").get()));
    EXPECT_EQ(0, quorin::ops::PasswordOf(*quorin::Variant::Text(L"     ").get()));
    EXPECT_EQ(-32768, quorin::ops::PasswordOf(*quorin::Variant::Text(L"  -32768  ").get()));
    EXPECT_EQ(32767, quorin::ops::PasswordOf(*quorin::Variant::Text(L" 32767 ").get()));
    // What backup stores as a 32-bit value reads back whole.
    EXPECT_EQ(100000, quorin::ops::PasswordOf(*quorin::Variant::Text(L"100000").get()));
    EXPECT_EQ(100000, quorin::ops::PasswordOf(*quorin::Variant::I4(100000).get()));
    EXPECT_EQ(-123456, quorin::ops::PasswordOf(*quorin::Variant::I4(-123456).get()));
    EXPECT_EQ(kOverflow, ErrorOf([] {
                  quorin::ops::PasswordOf(*quorin::Variant::Text(L"4294967296").get());
              }));
    EXPECT_EQ(kMismatch,
              ErrorOf([] { quorin::ops::PasswordOf(*quorin::Variant::Text(L"12ab").get()); }));
    // Other values are read through their text: a number as its digits, a Boolean as a word.
    EXPECT_EQ(2, quorin::ops::PasswordOf(*quorin::Variant::R8(2.5).get()));
    EXPECT_EQ(kMismatch, ErrorOf([] {
                  VARIANT yes;
                  V_VT(&yes) = VT_BOOL;
                  V_BOOL(&yes) = VARIANT_TRUE;
                  quorin::ops::PasswordOf(yes);
              }));
    // A value with no text at all: an object that is not there.
    EXPECT_EQ(kMismatch, ErrorOf([] {
                  VARIANT none;
                  V_VT(&none) = VT_UNKNOWN;
                  V_UNKNOWN(&none) = nullptr;
                  quorin::ops::PasswordOf(none);
              }));
}

}  // namespace
