// The foundation every module is written with: the object helper's reference counting and module
// lock, the class factory's locks, and the variant vocabulary, by-reference values above all. The
// objects here live in this program's own module, whose lock starts at zero.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "com/com.h"
#include "com/errors.h"
#include "com/module.h"
#include "com/object.h"
#include "com/variant.h"
#include "tests/support.h"

namespace {

using quorin::ClassFactory;
using quorin::ComPtr;
using quorin::Exposes;
using quorin::Variant;

int g_destroyed = 0;

// An object with two interfaces, the first answering two identifiers.
class Probe final
    : public quorin::Object<Probe, Exposes<quorin::NoTypeInfo<IDispatch>, IID_IDispatch>,
                            Exposes<ISupportErrorInfo, IID_ISupportErrorInfo>> {
  public:
    ~Probe() { ++g_destroyed; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }
};

HRESULT CreateProbe(REFIID riid, void** ppv) {
    return quorin::CreateInstance<Probe>(riid, ppv);
}

TEST(Object, ListedInterfacesShareOneCountAndOneIdentity) {
    ASSERT_EQ(S_OK, quorin::CanUnloadNow());
    const int destroyed = g_destroyed;
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, CreateProbe(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(S_FALSE, quorin::CanUnloadNow());
    EXPECT_EQ(1u, qt::RefCount(dispatch.get()));

    ComPtr<IUnknown> unknown, again;
    ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(S_OK, dispatch->QueryInterface(IID_IUnknown, unknown.put_void()));
    ASSERT_EQ(S_OK, dispatch->QueryInterface(IID_ISupportErrorInfo, errors.put_void()));
    ASSERT_EQ(S_OK, errors->QueryInterface(IID_IUnknown, again.put_void()));
    EXPECT_EQ(unknown.get(), again.get());
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(dispatch.get()));
    EXPECT_NE(static_cast<void*>(errors.get()), static_cast<void*>(dispatch.get()));
    EXPECT_EQ(4u, qt::RefCount(errors.get()));

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, dispatch->QueryInterface(IID_IClassFactory, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, dispatch->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(4u, qt::RefCount(dispatch.get()));

    unknown.reset();
    again.reset();
    errors.reset();
    EXPECT_EQ(destroyed, g_destroyed);
    dispatch.reset();
    EXPECT_EQ(destroyed + 1, g_destroyed);
    EXPECT_EQ(S_OK, quorin::CanUnloadNow());
}

TEST(Object, CreatingForAnUnansweredInterfaceLeavesNothingBehind) {
    const int destroyed = g_destroyed;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, CreateProbe(IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(destroyed + 1, g_destroyed);
    EXPECT_EQ(S_OK, quorin::CanUnloadNow());
}

TEST(ClassFactory, ReferencesAndLocksHoldTheModuleAndUnmatchedUnlocksChangeNothing) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, ClassFactory::Serve(CreateProbe, IID_IClassFactory, factory.put_void()));
    EXPECT_EQ(S_FALSE, quorin::CanUnloadNow());  // the reference
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    factory.reset();
    EXPECT_EQ(S_FALSE, quorin::CanUnloadNow());  // the lock outlives the factory

    // Another factory of the module gives it back; a second unlock has nothing to give.
    ASSERT_EQ(S_OK, ClassFactory::Serve(CreateProbe, IID_IUnknown, factory.put_void()));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    ComPtr<IDispatch> object;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(factory.get(), IID_IDispatch, object.put_void()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()));
    factory.reset();
    EXPECT_EQ(S_FALSE, quorin::CanUnloadNow());  // the object
    object.reset();
    EXPECT_EQ(S_OK, quorin::CanUnloadNow());
}

TEST(Variant, NamedConstructorsMakeTheirTypes) {
    struct Case {
        Variant value;
        VARTYPE vt;
    } cases[] = {
        {Variant::I2(-7), VT_I2},
        {Variant::I4(70000), VT_I4},
        {Variant::Date(39813.5), VT_DATE},
        {Variant::Text(L"a\0b"), VT_BSTR},
        {Variant::Null(), VT_NULL},
        {Variant::Missing(), VT_ERROR},
        {Variant::Bool(true), VT_BOOL},
        {Variant::Bytes({1, 2, 3}), VT_ARRAY | VT_UI1},
        {Variant(), VT_EMPTY},
    };
    for (const Case& c : cases) EXPECT_EQ(c.vt, c.value.vt());
    EXPECT_EQ(-7, V_I2(cases[0].value.get()));
    EXPECT_EQ(70000, V_I4(cases[1].value.get()));
    EXPECT_EQ(39813.5, V_DATE(cases[2].value.get()));
    EXPECT_EQ(DISP_E_PARAMNOTFOUND, V_ERROR(cases[5].value.get()));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(cases[6].value.get()));
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), cases[7].value.bytes());
    const std::wstring withNul(L"a\0b", 3);
    EXPECT_EQ(withNul, Variant::Text(withNul).text());
}

TEST(Variant, CopiesOwnTheirValueAndMovesLeaveEmpty) {
    ComPtr<IDispatch> object;
    ASSERT_EQ(S_OK, CreateProbe(IID_IDispatch, object.put_void()));
    Variant held = Variant::Dispatch(object.get());
    EXPECT_EQ(2u, qt::RefCount(object.get()));
    Variant copy = held;
    EXPECT_EQ(3u, qt::RefCount(object.get()));
    Variant moved = std::move(held);
    EXPECT_EQ(VT_EMPTY, held.vt());
    EXPECT_EQ(3u, qt::RefCount(object.get()));
    copy = Variant::Text(L"x");
    moved.put();
    EXPECT_EQ(1u, qt::RefCount(object.get()));

    Variant text = Variant::Text(L"kept");
    const VARIANT handed = text.detach();
    EXPECT_EQ(VT_EMPTY, text.vt());
    EXPECT_EQ(L"kept", Variant(handed).text());
    VARIANT owned = handed;
    VariantClear(&owned);
}

TEST(Variant, ByReferenceValuesPointAtTheCallersVariables) {
    LONG i4 = 5;
    SHORT i2 = 6;
    ComPtr<IDispatch> object;
    ASSERT_EQ(S_OK, CreateProbe(IID_IDispatch, object.put_void()));
    IDispatch* slot = object.get();
    {
        Variant r4 = Variant::RefI4(&i4), r2 = Variant::RefI2(&i2),
                rd = Variant::RefDispatch(&slot);
        EXPECT_EQ(VT_BYREF | VT_I4, r4.vt());
        EXPECT_EQ(VT_BYREF | VT_I2, r2.vt());
        EXPECT_EQ(VT_BYREF | VT_DISPATCH, rd.vt());
        EXPECT_EQ(&i4, V_I4REF(r4.get()));
        EXPECT_EQ(&i2, V_I2REF(r2.get()));
        EXPECT_EQ(&slot, V_DISPATCHREF(rd.get()));
        // A callee writes through them.
        *V_I4REF(r4.get()) = -40000;
        *V_I2REF(r2.get()) = -3;
        // Holding a reference takes none on the object.
        EXPECT_EQ(1u, qt::RefCount(object.get()));
    }
    // Clearing them left the variables and the object alone.
    EXPECT_EQ(-40000, i4);
    EXPECT_EQ(-3, i2);
    EXPECT_EQ(object.get(), slot);
    EXPECT_EQ(1u, qt::RefCount(object.get()));
}

TEST(Variant, DereferenceReadsThroughEveryKindOfReference) {
    LONG i4 = 123456;
    SHORT i2 = -9;
    ComPtr<IDispatch> object;
    ASSERT_EQ(S_OK, CreateProbe(IID_IDispatch, object.put_void()));
    IDispatch* slot = object.get();
    Variant text = Variant::Text(L"inner");
    VARIANT variable = *text.get();  // a script's variable holding text, passed by reference
    VARIANT byVariant;
    V_VT(&byVariant) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byVariant) = &variable;

    Variant out;
    ASSERT_EQ(S_OK, Variant::Dereference(*Variant::RefI4(&i4).get(), out));
    EXPECT_EQ(VT_I4, out.vt());
    EXPECT_EQ(123456, V_I4(out.get()));
    ASSERT_EQ(S_OK, Variant::Dereference(*Variant::RefI2(&i2).get(), out));
    EXPECT_EQ(VT_I2, out.vt());
    EXPECT_EQ(-9, V_I2(out.get()));
    ASSERT_EQ(S_OK, Variant::Dereference(byVariant, out));
    EXPECT_EQ(L"inner", out.text());
    EXPECT_NE(V_BSTR(&variable), V_BSTR(out.get()));  // a string of its own
    ASSERT_EQ(S_OK, Variant::Dereference(*Variant::RefDispatch(&slot).get(), out));
    EXPECT_EQ(VT_DISPATCH, out.vt());
    EXPECT_EQ(object.get(), V_DISPATCH(out.get()));
    EXPECT_EQ(2u, qt::RefCount(object.get()));  // a reference of its own
    // A value that is no reference is copied as it is.
    ASSERT_EQ(S_OK, Variant::Dereference(*Variant::I2(4).get(), out));
    EXPECT_EQ(VT_I2, out.vt());
    EXPECT_EQ(4, V_I2(out.get()));
    EXPECT_EQ(1u, qt::RefCount(object.get()));
}

// The helpers' reads of nothing: no bytes, no text, no object, and no reference taken.
TEST(Variant, ReadsOfNothingGiveNothing) {
    EXPECT_TRUE(Variant::I4(1).bytes().empty());
    EXPECT_EQ(L"", Variant::I4(1).text());
    Variant noText;
    V_VT(noText.get()) = VT_BSTR;
    V_BSTR(noText.get()) = nullptr;
    EXPECT_EQ(L"", noText.text());
    EXPECT_EQ(std::vector<BYTE>(), Variant::ArrayBytes(nullptr).value());
    EXPECT_EQ(nullptr, quorin::Bstr(static_cast<const wchar_t*>(nullptr)).get());
    const ComPtr<IDispatch> none;
    const ComPtr<IDispatch> copy(none);
    EXPECT_FALSE(copy);
    ComPtr<IUnknown> out;
    EXPECT_EQ(E_POINTER, none.query(out));
    EXPECT_FALSE(out);
}

// The system's text of an error where its message table has one, else the text kept for it (the
// one Windows gives), else its number.
TEST(Errors, TheSystemsTextThenTheKeptOneThenTheNumber) {
    const HRESULT kept[] = {E_FAIL,
                            E_NOTIMPL,
                            E_NOINTERFACE,
                            E_POINTER,
                            E_OUTOFMEMORY,
                            E_INVALIDARG,
                            E_ACCESSDENIED,
                            E_UNEXPECTED,
                            REGDB_E_CLASSNOTREG,
                            CO_E_CLASSSTRING,
                            CO_E_ERRORINDLL,
                            TYPE_E_LIBNOTREGISTERED,
                            TYPE_E_CANTLOADLIBRARY,
                            CLASS_E_NOAGGREGATION,
                            CO_E_NOTINITIALIZED,
                            DISP_E_MEMBERNOTFOUND,
                            DISP_E_PARAMNOTFOUND,
                            DISP_E_TYPEMISMATCH,
                            DISP_E_UNKNOWNNAME,
                            DISP_E_BADPARAMCOUNT,
                            DISP_E_PARAMNOTOPTIONAL,
                            DISP_E_OVERFLOW,
                            DISP_E_BADINDEX,
                            DISP_E_EXCEPTION};
    for (HRESULT hr : kept) {
        SCOPED_TRACE(testing::Message() << std::hex << static_cast<unsigned long>(hr));
        const wchar_t* text = quorin::KeptErrorText(hr);
        ASSERT_NE(nullptr, text);
        EXPECT_NE(L'\0', text[0]);
        wchar_t table[512] = {};
        DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(hr), 0, table, 512, nullptr);
        std::wstring system(table, n);
        while (!system.empty() && wcschr(L"\r\n ", system.back())) system.pop_back();
        EXPECT_EQ(system.empty() ? std::wstring(text) : system, quorin::SystemMessage(hr));
    }
    EXPECT_EQ(nullptr, quorin::KeptErrorText(S_OK));
    EXPECT_EQ(nullptr, quorin::KeptErrorText(HRESULT(0x8004ABCD)));
    EXPECT_EQ(L"Automation error 0x8004ABCD", quorin::SystemMessage(HRESULT(0x8004ABCD)));
    // A run-time error number the component has no text of its own for.
    EXPECT_STREQ(L"Application-defined or object-defined error",
                 quorin::VbErrorText(static_cast<quorin::VbError>(1000)));
}

// Whatever an operation or its handler throws is one error: a raised error as it is, no memory as
// the run-time error 7, anything else E_UNEXPECTED with its text.
TEST(Errors, EveryCaughtExceptionIsClassified) {
    struct Case {
        const char* what;
        std::function<void()> body;
        HRESULT hr;
        std::wstring text;
    };
    const std::wstring unexpected = quorin::SystemMessage(E_UNEXPECTED);
    const Case cases[] = {
        {"a raised error", [] { throw quorin::RaisedError(E_ACCESSDENIED, L"Line down"); },
         E_ACCESSDENIED, L"Line down"},
        {"no memory", [] { throw std::bad_alloc(); }, HRESULT(0x800A0007), L"Out of memory"},
        {"another exception", [] { throw std::runtime_error("broken"); }, E_UNEXPECTED, unexpected},
        {"not even an exception", [] { throw 42; }, E_UNEXPECTED, unexpected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<quorin::RaisedError> error = quorin::ErrorOf(c.body);
        ASSERT_TRUE(error);
        EXPECT_EQ(c.hr, error->hr());
        EXPECT_EQ(c.text, error->description());
    }
    EXPECT_FALSE(quorin::ErrorOf([] {}));
    EXPECT_EQ(L"Catastrophic failure", unexpected);
}

}  // namespace
