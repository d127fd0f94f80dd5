#pragma once
// The one way the agent creates and releases its heap objects:
//     Foo* foo = ORV_NEW(Foo)(arguments...);
//     trackedDelete(foo);
// Every call site names the class, source unit and line, so that the
// tracking allocator can account for each object by them. Until that
// allocator exists, the pair is a plain new and delete; call sites do not
// change when it arrives.
#include <utility>

template <class T> class TrackedNew {
public:
    TrackedNew(const char* className, const char* file, int line)
        : m_className(className), m_file(file), m_line(line) {}

    template <class... Args> T* operator()(Args&&... args) const {
        return new T(std::forward<Args>(args)...);
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

template <class T> void trackedDelete(T* object) {
    delete object;
}
