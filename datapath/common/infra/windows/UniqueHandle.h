#pragma once
// The one owner of whatever the platform hands out and must be given back: a
// kernel handle, a service handle, a WinHTTP handle, a registry key, a COM
// reference, task memory, a BSTR. Traits name the kind:
//   using Value = <the handle type>;
//   static Value empty();          what "no handle" is
//   static bool valid(Value);      false for every "no handle" value the
//                                  kind's calls return on failure
//   static void close(Value);      gives a valid value back
// The owner is movable, so that a handle can be returned from the function
// that opened it, and never copyable.

// The traits of the kinds whose "no handle" is a null value and whose closer
// is one free function (its result is of no use to an owner).
template <class T, auto Close> struct NullableHandleTraits {
    using Value = T;
    static T empty() { return nullptr; }
    static bool valid(T value) { return value != nullptr; }
    static void close(T value) { Close(value); }
};

template <class Traits> class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() = default;
    explicit UniqueHandle(Value value) : m_value(value) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_value(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    [[nodiscard]] Value get() const { return m_value; }
    [[nodiscard]] bool valid() const { return Traits::valid(m_value); }
    // Closes what is held and takes `value`.
    void reset(Value value = Traits::empty()) {
        if (Traits::valid(m_value))
            Traits::close(m_value);
        m_value = value;
    }
    // Hands the value over to the caller, who now closes it.
    [[nodiscard]] Value release() {
        Value value = m_value;
        m_value = Traits::empty();
        return value;
    }
    // For a call that hands out a new value through an out parameter:
    // closes what is held and gives the empty slot.
    Value* out() {
        reset();
        return &m_value;
    }

private:
    Value m_value = Traits::empty();
};
