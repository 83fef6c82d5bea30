// The process-wide text of the last socket error. Any thread may write or read it; the last
// writer wins. It holds at most 1,023 units (a longer text is cut).
#pragma once

#include <mutex>
#include <string>
#include <string_view>

class CSocketErrorText {
public:
    static constexpr std::size_t kMaxUnits = 1024;  // including the terminator

    void Set(std::wstring_view text);
    void Clear();
    std::wstring Get() const;
    bool IsEmpty() const;

private:
    mutable std::mutex m_mutex;
    std::wstring m_strText;
};

extern CSocketErrorText g_szSocketError;
