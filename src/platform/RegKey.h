// The holder of one open registry key handle that the program's key classes build on.
#pragma once

#include "platform/Registry.h"

namespace win {

class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Closes the held handle, if any; the status of RegCloseKey, 0 when none was held.
    LONG Close() {
        LONG lResult = 0;
        if (m_hKey != 0) {
            lResult = RegCloseKey(m_hKey);
            m_hKey = 0;
        }
        return lResult;
    }

    // Holds `hKey` from now on, closing the handle held before.
    void Attach(HKEY hKey) {
        if (hKey != m_hKey) {
            Close();
        }
        m_hKey = hKey;
    }

    // The open key, 0 while closed.
    HKEY m_hKey = 0;
    // Extra access bits of the 32/64-bit views; always 0 here.
    REGSAM m_samWOW64 = 0;
};

}  // namespace win
