#pragma once
// Sole owner of an open registry key.
#include <windows.h>

class RegistryKey {
public:
    RegistryKey() = default;
    explicit RegistryKey(HKEY key) : m_key(key) {}
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    RegistryKey(RegistryKey&& other) noexcept : m_key(other.m_key) { other.m_key = NULL; }
    RegistryKey& operator=(RegistryKey&& other) noexcept {
        if (this != &other) {
            close();
            m_key = other.m_key;
            other.m_key = NULL;
        }
        return *this;
    }

    HKEY get() const { return m_key; }
    bool valid() const { return m_key != NULL; }
    // Closes the key now, for a caller that reports the result;
    // ERROR_SUCCESS when none was open.
    LONG close() {
        if (m_key == NULL)
            return ERROR_SUCCESS;
        LONG result = RegCloseKey(m_key);
        m_key = NULL;
        return result;
    }

private:
    HKEY m_key = NULL;
};
