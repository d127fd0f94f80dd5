#pragma once
// Owners for what COM hands out: an interface reference, a task-memory text
// (StringFromCLSID) and a BSTR. Each frees what it holds when it goes out of
// scope, so that no early exit of the requester leaks a reference.
// clang-format off
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
// clang-format on

// Sole owner of one reference to a COM interface.
template <class T> class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* pointer) : m_pointer(pointer) {}
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& other) noexcept : m_pointer(other.m_pointer) { other.m_pointer = nullptr; }
    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) {
            reset(other.m_pointer);
            other.m_pointer = nullptr;
        }
        return *this;
    }

    T* get() const { return m_pointer; }
    T* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer != nullptr; }

    // For a call that returns a new reference through an out parameter:
    // releases what is held and hands out the empty slot.
    T** out() {
        reset();
        return &m_pointer;
    }
    // Releases what is held and takes `pointer` (whose reference it now owns).
    void reset(T* pointer = nullptr) {
        if (m_pointer != nullptr)
            m_pointer->Release();
        m_pointer = pointer;
    }

private:
    T* m_pointer = nullptr;
};

// Sole owner of a text allocated by COM with CoTaskMemAlloc.
class CoTaskMemText {
public:
    CoTaskMemText() = default;
    ~CoTaskMemText() { CoTaskMemFree(m_text); }
    CoTaskMemText(const CoTaskMemText&) = delete;
    CoTaskMemText& operator=(const CoTaskMemText&) = delete;

    const wchar_t* get() const { return m_text; }
    LPOLESTR* out() {
        CoTaskMemFree(m_text);
        m_text = nullptr;
        return &m_text;
    }

private:
    LPOLESTR m_text = nullptr;
};

// Sole owner of a BSTR.
class BstrText {
public:
    BstrText() = default;
    ~BstrText() { SysFreeString(m_text); }
    BstrText(const BstrText&) = delete;
    BstrText& operator=(const BstrText&) = delete;

    const wchar_t* get() const { return m_text; }
    // Its length in units, which a BSTR carries; 0 for none.
    UINT length() const { return SysStringLen(m_text); }
    BSTR* out() {
        SysFreeString(m_text);
        m_text = nullptr;
        return &m_text;
    }

private:
    BSTR m_text = nullptr;
};
