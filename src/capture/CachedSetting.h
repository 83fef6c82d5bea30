// A value of the settings that the relay consults for every connection or block (a flag,
// the TLS settings), kept in memory for the whole process: read from the store again at once after
// this process has written to the settings (the options dialog, say), and otherwise once the value
// is older than the refresh interval, so that a change made by another process applies within that
// time. A block then costs no store read (each takes a store transaction).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/Registry.h"

template <class T>
class CCachedValue {
public:
    using Clock = std::chrono::steady_clock;
    using Reader = T (*)();

    CCachedValue(Reader pfnRead, Clock::duration refresh)
        : m_pfnRead(pfnRead), m_refresh(refresh) {}
    CCachedValue(const CCachedValue&) = delete;
    CCachedValue& operator=(const CCachedValue&) = delete;

    // Any thread. The value, read after the last write of this process and at most
    // `refresh` ago. A failed read raises, as the reader does; nothing is kept then.
    T Get() {
        std::lock_guard lock(m_mutex);
        // The generation is taken before the store is read: a write that comes in between
        // makes the next call read again.
        const std::uint64_t nGeneration = win::RegWriteGeneration();
        const Clock::time_point now = Clock::now();
        if (!m_value || nGeneration != m_nGeneration || now - m_readAt >= m_refresh) {
            m_value.reset();
            m_value = m_pfnRead();
            m_nGeneration = nGeneration;
            m_readAt = now;
        }
        return *m_value;
    }

private:
    const Reader m_pfnRead;
    const Clock::duration m_refresh;
    std::mutex m_mutex;  // held while the value is checked or read
    std::optional<T> m_value;
    std::uint64_t m_nGeneration = 0;
    Clock::time_point m_readAt{};
};

using CCachedSetting = CCachedValue<bool>;

// The relay's two flags of the HTTP options, refreshed every 100 ms.
bool CachedReplaceHostHeader();
bool CachedSaveResponse();
