// The log text of relayed blocks, converted on the relaying thread before the module lock is
// taken, so that the lock is held only for the append. One buffer per connection, grown to
// its largest block and kept.
#pragma once

#include <string>
#include <string_view>

#include "platform/TextConv.h"

class CBlockLogText {
public:
    // The connection's thread. The block as the log shows it (win::BlockText in UTF-8);
    // valid until the next call.
    std::string_view Convert(std::string_view block) {
        if (m_buffer.size() < 3 * block.size()) {
            m_buffer.resize(3 * block.size());
        }
        const std::size_t n = win::AnsiToUtf8(block, m_buffer.data(), true);
        return std::string_view(m_buffer.data(), n);
    }

private:
    std::string m_buffer;
};
