#include "settings/AclInfoBase.h"

CAclInfoBase::~CAclInfoBase() {
    ClearEntries();
}

void CAclInfoBase::ClearEntries() {
    while (m_pEntries != nullptr) {
        CAclEntry* pNext = m_pEntries->pNext;
        delete m_pEntries;
        m_pEntries = pNext;
    }
}
