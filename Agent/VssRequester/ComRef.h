#pragma once
// Owners for what COM hands out: an interface reference, a task-memory text
// (StringFromCLSID) and a BSTR. Each frees what it holds when it goes out of
// scope, so that no early exit of the requester leaks a reference.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
// clang-format on

#include "windows/UniqueHandle.h"

template <class T> struct ComRefTraits {
    using Value = T*;
    static T* empty() { return nullptr; }
    static bool valid(T* pointer) { return pointer != nullptr; }
    static void close(T* pointer) { pointer->Release(); }
};
// Sole owner of one reference to a COM interface; out() hands the slot to a
// call that returns a new reference through an out parameter.
template <class T> class ComRef : public UniqueHandle<ComRefTraits<T>> {
public:
    using UniqueHandle<ComRefTraits<T>>::UniqueHandle;
    T* operator->() const { return this->get(); }
    explicit operator bool() const { return this->valid(); }
};

// Sole owner of a text allocated by COM with CoTaskMemAlloc.
using CoTaskMemText = UniqueHandle<NullableHandleTraits<LPOLESTR, &CoTaskMemFree>>;

// Sole owner of a BSTR.
class BstrText : public UniqueHandle<NullableHandleTraits<BSTR, &SysFreeString>> {
public:
    // Its length in units, which a BSTR carries; 0 for none.
    UINT length() const { return SysStringLen(get()); }
};
