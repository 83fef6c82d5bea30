// The place of a registry key object for the access entries of a key's security
// descriptor.
#pragma once

#include <memory>
#include <string>

#include "platform/WinTypes.h"

// One access entry of a key's access list.
struct CAclEntry {
    void* pAce = nullptr;  // the entry of the descriptor it describes, or null
    CAclEntry* pNext = nullptr;
    std::wstring strAccount;
    std::wstring strDomain;
    DWORD dwAccessMask = 0;
};

// The settings store has no per-key access lists, so the list and the buffer stay empty; a
// key class that needs particular permissions answers the hooks of CRegkeyBase.
class CAclInfoBase {
public:
    CAclInfoBase() = default;
    virtual ~CAclInfoBase();
    CAclInfoBase(const CAclInfoBase&) = delete;
    CAclInfoBase& operator=(const CAclInfoBase&) = delete;

    // Deletes every access entry.
    void ClearEntries();

    const CAclEntry* GetEntries() const { return m_pEntries; }
    const BYTE* GetDescriptor() const { return m_pDescriptor.get(); }

protected:
    CAclEntry* m_pEntries = nullptr;  // owned, singly linked
    std::unique_ptr<BYTE[]> m_pDescriptor;
};
