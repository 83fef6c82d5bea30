// The log text of relayed blocks, made on the relaying thread before the module lock is
// taken when the log wants it (the window's log counts a block's lines from it and keeps
// only the bytes), so that the lock is held only for the append; the command line's log
// makes the text on its writer threads instead. One buffer per connection, grown to its
// largest block and kept; its pages are touched only as far as text is written.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "module/MyModule.h"
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

    // The same when the log wants the text (CMyModule::WantsBlockText); empty otherwise.
    std::string_view ConvertIfWanted(std::string_view block) {
        return g_Module.WantsBlockText() ? Convert(block) : std::string_view();
    }

private:
    std::unique_ptr<char[]> m_pBuffer;
    std::size_t m_nSize = 0;
};
