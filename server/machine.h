// clsMachine: the driver class. Its default interface _clsMachine and the host's IMachine reach
// one implementation of each operation.
#pragma once

#include <windows.h>

#include <tuple>
#include <type_traits>

#include "com/ado.h"
#include "com/object.h"
#include "contract.h"
#include "operations/operations.h"
#include "server/frame.h"

namespace quorin {

class Machine;

// What both dual interfaces share: IUnknown, IDispatch (answered for _clsMachine's identifiers),
// error information, _clsMachine's three undescribed entries, and the frame of the operations.
// IDispatch is the default interface _clsMachine.
class MachineBase
    : public Object<Machine, Exposes<_clsMachine, IID_IDispatch, __uuidof(_clsMachine)>,
                    Exposes<IMachine, __uuidof(IMachine)>,
                    Exposes<ISupportErrorInfo, IID_ISupportErrorInfo>> {
  public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                     UINT* argErr) override;

    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }

  protected:
    template <class Operation, class... Arguments>
    HRESULT Operate(const wchar_t* name, Arguments... arguments) {
        return RunOperation<Operation>(static_cast<_clsMachine*>(this), name, arguments...);
    }
};

// One method of an interface that runs an operation, with the parameters that the interface
// declares (contract.idl): deduced from the declaration, never restated. <Method>On<Base> adds the
// method to Base.
#define QUORIN_METHOD(Interface, Method, Name, Operation)                                          \
    template <class Base, class Signature>                                                         \
    class Method##Layer;                                                                           \
    template <class Base, class... Params>                                                         \
    class Method##Layer<Base, HRESULT (STDMETHODCALLTYPE Interface::*)(Params...)> : public Base { \
      public:                                                                                      \
        HRESULT STDMETHODCALLTYPE Method(Params... params) override {                              \
            return this->template Operate<Operation>(Name, params...);                             \
        }                                                                                          \
    };                                                                                             \
    template <class Base>                                                                          \
    using Method##On = Method##Layer<Base, decltype(&Interface::Method)>;

// The parameters of a method of an interface.
template <class Method>
struct ParametersOf;
template <class Interface, class... Params>
struct ParametersOf<HRESULT (STDMETHODCALLTYPE Interface::*)(Params...)> {
    using type = std::tuple<Params...>;
};

#define QUORIN_WIDE(text) L##text
// An operation under both of its names: IMachine's, and IMachine_<name> on _clsMachine, which
// must take the same parameters. The trace knows it by IMachine's.
#define QUORIN_OPERATION(name, Operation)                                                      \
    static_assert(std::is_same_v<ParametersOf<decltype(&IMachine::name)>::type,                \
                                 ParametersOf<decltype(&_clsMachine::IMachine_##name)>::type>, \
                  "IMachine::" #name " and _clsMachine::IMachine_" #name " differ");           \
    QUORIN_METHOD(IMachine, name, QUORIN_WIDE(#name), Operation)                               \
    QUORIN_METHOD(_clsMachine, IMachine_##name, QUORIN_WIDE(#name), Operation)

QUORIN_OPERATION(funcRegister, ops::Discovery)
QUORIN_OPERATION(funcBackFingure, ops::Backup)
QUORIN_OPERATION(funcReWrite, ops::Restore)
QUORIN_OPERATION(DownloadCarddata, ops::Download)
QUORIN_OPERATION(funcWriteCard, ops::NotSupported)
QUORIN_OPERATION(delCardData, ops::NotSupported)

#undef QUORIN_OPERATION
#undef QUORIN_WIDE
#undef QUORIN_METHOD

// Base with each of the layers added, the first innermost.
template <class Base, template <class> class... Layers>
struct Stacked {
    using type = Base;
};
template <class Base, template <class> class First, template <class> class... Rest>
struct Stacked<Base, First, Rest...> {
    using type = typename Stacked<First<Base>, Rest...>::type;
};

class Machine final
    : public Stacked<MachineBase, funcRegisterOn, IMachine_funcRegisterOn, funcBackFingureOn,
                     IMachine_funcBackFingureOn, funcReWriteOn, IMachine_funcReWriteOn,
                     DownloadCarddataOn, IMachine_DownloadCarddataOn, funcWriteCardOn,
                     IMachine_funcWriteCardOn, delCardDataOn, IMachine_delCardDataOn>::type {
  public:
    // The class factory's creator.
    static HRESULT Create(REFIID riid, void** ppv) { return CreateInstance<Machine>(riid, ppv); }
};

}  // namespace quorin
