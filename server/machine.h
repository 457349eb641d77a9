// clsMachine: the driver class. Its default interface _clsMachine and the host's IMachine reach
// one implementation of each operation.
#pragma once

#include <windows.h>

#include "com/ado.h"
#include "com/object.h"
#include "contract.h"
#include "operations/operations.h"
#include "server/frame.h"
#include "server/parameters.h"
#include "server/typeinfo.h"

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
        return RunOperation<Operation>(static_cast<_clsMachine*>(this), types_, name, arguments...);
    }

  private:
    TypeInformation types_;
};

// One operation's two methods, IMachine's `name` and _clsMachine's IMachine_<name>, added to Base
// as <name>Layer<Base>. Their parameters are deduced from IMachine's declaration (contract.idl),
// never restated; _clsMachine's method must take the same, or it overrides nothing and the build
// fails. The trace knows the operation by IMachine's name. Written out by hand,
// QUORIN_OPERATION(delCardData, ops::NotSupported) is:
//
//     template <class Base>
//     class delCardDataLayer : public Base {
//       public:
//         HRESULT STDMETHODCALLTYPE delCardData(VARIANT_BOOL blnPort, BSTR strIp, short iPort,
//                                               short imachineno, VARIANT_BOOL* result) override {
//             return this->template Operate<ops::NotSupported>(L"delCardData", blnPort, strIp,
//                                                              iPort, imachineno, result);
//         }
//         HRESULT STDMETHODCALLTYPE IMachine_delCardData(VARIANT_BOOL blnPort, BSTR strIp,
//                                                        short iPort, short imachineno,
//                                                        VARIANT_BOOL* result) override {
//             return this->template Operate<ops::NotSupported>(L"delCardData", blnPort, strIp,
//                                                              iPort, imachineno, result);
//         }
//     };
#define QUORIN_WIDE(text) L##text
#define QUORIN_OPERATION(name, Operation)                                                       \
    template <class Base, class Signature = decltype(&IMachine::name)>                          \
    class name##Layer;                                                                          \
    template <class Base, class... Params>                                                      \
    class name##Layer<Base, HRESULT (STDMETHODCALLTYPE IMachine::*)(Params...)> : public Base { \
      public:                                                                                   \
        HRESULT STDMETHODCALLTYPE name(Params... params) override {                             \
            return this->template Operate<Operation>(QUORIN_WIDE(#name), params...);            \
        }                                                                                       \
        HRESULT STDMETHODCALLTYPE IMachine_##name(Params... params) override {                  \
            return this->template Operate<Operation>(QUORIN_WIDE(#name), params...);            \
        }                                                                                       \
    };

QUORIN_OPERATION(funcRegister, ops::Discovery)
QUORIN_OPERATION(funcBackFingure, ops::Backup)
QUORIN_OPERATION(funcReWrite, ops::Restore)
QUORIN_OPERATION(DownloadCarddata, ops::Download)
QUORIN_OPERATION(funcWriteCard, ops::NotSupported)
QUORIN_OPERATION(delCardData, ops::NotSupported)

#undef QUORIN_OPERATION
#undef QUORIN_WIDE

// The frame makes each operation from the parameters by position: its fields must be the
// parameters in the interface's order, under their names.
#define QUORIN_ADDRESS(Operation)                                                     \
    QUORIN_FIELD(Operation, address.blnPort), QUORIN_FIELD(Operation, address.strIp), \
        QUORIN_FIELD(Operation, address.iPort), QUORIN_FIELD(Operation, address.imachineno)
static_assert(parameters::AreParametersOf(
                  "funcRegister",
                  {QUORIN_FIELD(ops::Discovery, col), QUORIN_FIELD(ops::Discovery, blnPort),
                   QUORIN_FIELD(ops::Discovery, iPortMin), QUORIN_FIELD(ops::Discovery, iPortMax),
                   QUORIN_FIELD(ops::Discovery, strIPMin), QUORIN_FIELD(ops::Discovery, strIPMax),
                   QUORIN_FIELD(ops::Discovery, iMin), QUORIN_FIELD(ops::Discovery, iMax),
                   QUORIN_FIELD(ops::Discovery, strMsg)}),
              "ops::Discovery's fields are not funcRegister's parameters");
static_assert(parameters::AreParametersOf("funcBackFingure", {QUORIN_ADDRESS(ops::Backup),
                                                              QUORIN_FIELD(ops::Backup, sPersonNum),
                                                              QUORIN_FIELD(ops::Backup, rsData),
                                                              QUORIN_FIELD(ops::Backup, strMsg)}),
              "ops::Backup's fields are not funcBackFingure's parameters");
static_assert(parameters::AreParametersOf("funcReWrite", {QUORIN_ADDRESS(ops::Restore),
                                                          QUORIN_FIELD(ops::Restore, sPersonNum),
                                                          QUORIN_FIELD(ops::Restore, rsData),
                                                          QUORIN_FIELD(ops::Restore, strMsg)}),
              "ops::Restore's fields are not funcReWrite's parameters");
static_assert(parameters::AreParametersOf("DownloadCarddata",
                                          {QUORIN_ADDRESS(ops::Download),
                                           QUORIN_FIELD(ops::Download, cdata),
                                           QUORIN_FIELD(ops::Download, strMsg)}),
              "ops::Download's fields are not DownloadCarddata's parameters");
#undef QUORIN_ADDRESS
#undef QUORIN_FIELD

class Machine final
    : public delCardDataLayer<funcWriteCardLayer<DownloadCarddataLayer<
          funcReWriteLayer<funcBackFingureLayer<funcRegisterLayer<MachineBase>>>>>> {
  public:
    // The class factory's creator.
    static HRESULT Create(REFIID riid, void** ppv) { return CreateInstance<Machine>(riid, ppv); }
};

}  // namespace quorin
