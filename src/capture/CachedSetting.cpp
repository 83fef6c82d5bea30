#include "capture/CachedSetting.h"

#include "platform/Registry.h"
#include "settings/RegKeyTalvex.h"

bool CCachedSetting::Get() {
    std::lock_guard lock(m_mutex);
    // The generation is taken before the store is read: a write that comes in between
    // makes the next call read again.
    const std::uint64_t nGeneration = win::RegWriteGeneration();
    const Clock::time_point now = Clock::now();
    if (!m_bRead || nGeneration != m_nGeneration || now - m_readAt >= m_refresh) {
        m_bRead = false;
        m_bValue = m_pfnRead();
        m_bRead = true;
        m_nGeneration = nGeneration;
        m_readAt = now;
    }
    return m_bValue;
}

namespace {

constexpr auto kRefresh = std::chrono::milliseconds(100);

}  // namespace

bool CachedReplaceHostHeader() {
    static CCachedSetting s_setting([] { return CRegKeyTalvex().GetReplaceHostHeader(); },
                                    kRefresh);
    return s_setting.Get();
}

bool CachedSaveResponse() {
    static CCachedSetting s_setting([] { return CRegKeyTalvex().GetSaveResponse(); }, kRefresh);
    return s_setting.Get();
}
