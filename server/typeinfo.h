// The driver's type information, owned in one place: per object, the descriptions of its own type
// library ("TYPELIB" 1 of the module file, read as registration reads it) and of the host's that
// late-bound calls and the trace read.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <string>
#include <vector>

#include "com/com.h"
#include "trace/trace.h"

namespace quorin {

// What one object asks of the type libraries, loaded when first asked for and kept until the
// object goes: the platform releases a library with its last description, so asking anew for
// every call would read the file again every time. Released with the object, which holds the
// module lock, everything is gone before the module can unload. Used on the object's apartment
// only.
class TypeInformation {
  public:
    // _clsMachine's dispatch half, as GetTypeInfo hands it out.
    HRESULT Dispatch(ITypeInfo** borrowed);
    // _clsMachine's vtable half, which DispInvoke and DispGetIDsOfNames work from.
    HRESULT Vtable(ITypeInfo** borrowed);
    // IMachine's vtable half as the host's library PeltMachine 1.1 describes it: the host's names
    // of the same methods.
    HRESULT Host(ITypeInfo** borrowed);

    // The trace's parameters of the operation `name` (IMachine's name): their names and types as
    // the driver's type library describes the method, with the values passed (views whose type is
    // set here). Empty when the library cannot be read.
    std::vector<trace::Param> DescribeCall(const wchar_t* name, const VARIANT* values,
                                           size_t count);

  private:
    HRESULT Load();

    ComPtr<ITypeInfo> dispatch_, vtable_, host_;
};

// The method with this dispatch identifier, described by its interface and released with it.
class MethodDesc {
  public:
    MethodDesc(ITypeInfo* info, DISPID id);
    MethodDesc(const MethodDesc&) = delete;
    MethodDesc& operator=(const MethodDesc&) = delete;
    ~MethodDesc();
    const FUNCDESC* get() const { return desc_; }

  private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

// The variant type in which a vtable caller passes a parameter of this type (VT_BYREF|VT_BSTR for
// a BSTR*, VT_BYREF|VT_DISPATCH for a pointer to a collection's pointer), VT_EMPTY where no
// variant type says it.
VARTYPE PassedAs(ITypeInfo* info, const TYPEDESC& type);

}  // namespace quorin
