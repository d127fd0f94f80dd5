#pragma once
// The one way the agent and the infrastructure create and release heap
// objects, so that MemShield accounts for each by class, source unit and line:
//     Foo* foo = ORV_NEW(Foo)(arguments...);
//     trackedDelete(foo);
//     s8* bytes = ORV_NEW_ARRAY(s8, n);
//     trackedDeleteArray(bytes);
// The releases record their caller's file and line through default
// arguments, so call sites stay plain function calls.
//
// Objects must not need more than 8-byte alignment: a counting-mode block's
// header is 8 bytes.
#include "MemShield.h"
#include "Types.h"

#include <new>
#include <type_traits>
#include <utility>

#if defined(_MSC_VER) || defined(__GNUC__) || defined(__clang__)
#define ORV_CALLER_FILE() __builtin_FILE()
#define ORV_CALLER_LINE() static_cast<u32>(__builtin_LINE())
#else
#define ORV_CALLER_FILE() "unknown"
#define ORV_CALLER_LINE() 0u
#endif

namespace TrackedDetail {
// The complete object's address: what was allocated, whatever base a caller
// holds.
template <class T> void* completeObject(T* object) {
    if constexpr (std::is_polymorphic<T>::value)
        return dynamic_cast<void*>(object);
    else
        return const_cast<void*>(static_cast<const volatile void*>(object));
}

inline void releaseObjectMemory(void* memory, const char* file, u32 line) {
    MemShield* shield = MemShield::instance();
    if (shield->isShieldOn()) {
        shield->verifyPtr(memory, file, line);
        shield->freeAndUnregister(memory, file, line);
    } else {
        shield->freeAndCount(memory);
    }
}
} // namespace TrackedDetail

template <class T> class TrackedNew {
public:
    TrackedNew(const char* className, const char* file, int line)
        : m_className(className), m_file(file), m_line(line) {}

    template <class... Args> T* operator()(Args&&... args) const {
        static_assert(alignof(T) <= MemShield::kHeaderBytes, "a tracked object is aligned to 8 bytes");
        void* memory = MemShield::instance()->internalAllocAndCountOnlyArray(
            sizeof(T), 0, m_className, m_file, static_cast<u32>(m_line));
        try {
            return ::new (memory) T(std::forward<Args>(args)...);
        } catch (...) {
            // The object never existed: only its memory goes back.
            MemShield* shield = MemShield::instance();
            if (shield->isShieldOn())
                shield->freeAndUnregister(memory, m_file, static_cast<u32>(m_line));
            else
                shield->freeAndCount(memory);
            throw;
        }
    }

    const char* className() const { return m_className; }
    const char* file() const { return m_file; }
    int line() const { return m_line; }

private:
    const char* m_className;
    const char* m_file;
    int m_line;
};

#define ORV_NEW(Type) TrackedNew<Type>(#Type, __FILE__, __LINE__)

// Runs the destructor, then releases the memory in the mode it was taken in.
template <class T>
void trackedDelete(T* object, const char* file = ORV_CALLER_FILE(), u32 line = ORV_CALLER_LINE()) {
    if (object == nullptr)
        return;
    void* memory = TrackedDetail::completeObject(object);
    object->~T();
    TrackedDetail::releaseObjectMemory(memory, file, line);
}

// An array of trivially destructible elements (record buffers and the like),
// under a label naming the element type ("s8").
template <class T>
T* trackedNewArray(size_t count, const char* label, const char* file = ORV_CALLER_FILE(),
                   u32 line = ORV_CALLER_LINE()) {
    static_assert(std::is_trivially_destructible<T>::value && alignof(T) <= MemShield::kHeaderBytes,
                  "tracked arrays hold plain elements");
    void* memory =
        MemShield::instance()->internalAllocAndCountOnlyArray(sizeof(T) * count, count, label, file, line);
    T* array = static_cast<T*>(memory);
    for (size_t i = 0; i < count; ++i)
        ::new (static_cast<void*>(array + i)) T;
    return array;
}
#define ORV_NEW_ARRAY(Type, count) trackedNewArray<Type>((count), #Type, __FILE__, static_cast<u32>(__LINE__))

template <class T>
void trackedDeleteArray(T* array, const char* file = ORV_CALLER_FILE(), u32 line = ORV_CALLER_LINE()) {
    if (array != nullptr)
        MemShield::instance()->freeArray(array, file, line);
}
