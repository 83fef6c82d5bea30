// A flag of the settings that the relay consults for every connection or block, kept in
// memory for the whole process: read from the store again at once after this process has
// written to the settings (the options dialog, say), and otherwise once the value is older
// than the refresh interval, so that a change made by another process applies within that
// time. A block then costs no store read (each takes a store transaction).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

class CCachedSetting {
public:
    using Clock = std::chrono::steady_clock;
    using Reader = bool (*)();

    CCachedSetting(Reader pfnRead, Clock::duration refresh)
        : m_pfnRead(pfnRead), m_refresh(refresh) {}
    CCachedSetting(const CCachedSetting&) = delete;
    CCachedSetting& operator=(const CCachedSetting&) = delete;

    // Any thread. The value, read after the last write of this process and at most
    // `refresh` ago. A failed read raises, as the reader does; nothing is kept then.
    bool Get();

private:
    const Reader m_pfnRead;
    const Clock::duration m_refresh;
    std::mutex m_mutex;  // held while the value is checked or read
    bool m_bRead = false;
    bool m_bValue = false;
    std::uint64_t m_nGeneration = 0;
    Clock::time_point m_readAt{};
};

// The relay's two flags of the HTTP options, refreshed every 100 ms.
bool CachedReplaceHostHeader();
bool CachedSaveResponse();
