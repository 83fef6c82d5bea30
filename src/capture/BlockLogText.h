// The log text of relayed blocks, converted on the relaying thread before the module lock is
// taken, so that the lock is held only for the append. One buffer per connection, grown to
// its largest block and kept; its pages are touched only as far as text is written.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/TextConv.h"

class CBlockLogText {
public:
    // The connection's thread. The block as the log shows it (win::BlockText in UTF-8);
    // valid until the next call.
    std::string_view Convert(std::string_view block) {
        if (m_nSize < 3 * block.size()) {
            m_nSize = 3 * block.size();
            m_pBuffer = std::make_unique_for_overwrite<char[]>(m_nSize);
        }
        const std::size_t n = win::AnsiToUtf8(block, m_pBuffer.get(), true);
        return std::string_view(m_pBuffer.get(), n);
    }

private:
    std::unique_ptr<char[]> m_pBuffer;
    std::size_t m_nSize = 0;
};
