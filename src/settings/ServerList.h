// The connection bar's list of servers, as the settings fill it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

// The ports that go with one entry of the server list: Port, then Port Remote (0: the
// same as Port).
struct ServerPorts {
    DWORD nPort = 0;
    DWORD nPortRemote = 0;
};

// A list of server texts kept sorted without regard to case (see CompareServerText), each
// entry with its ServerPorts record, and at most one entry selected. Implemented by the
// connection bar's URL box.
class IServerList {
public:
    virtual ~IServerList() = default;

    // Inserts `strText` at its place in the sorted order (after the entries that compare
    // equal) and returns that position; entries after it move one place on, with their
    // records. Negative when the text could not be added.
    virtual int AddText(const std::wstring& strText) = 0;

    // Attaches `pPorts` to the entry at `nPosition`; the list owns it from now on and
    // frees it with the entry (a record attached before is freed at once). A position that
    // holds no entry frees the record.
    virtual void SetPorts(int nPosition, std::unique_ptr<ServerPorts> pPorts) = 0;

    // Selects the entry at `nPosition`; a position that holds no entry (negative or past the
    // end) leaves no entry selected.
    virtual void Select(int nPosition) = 0;
};

// The order of the server list: negative, 0 or positive as `a` sorts before, with or after
// `b`, comparing upper-cased characters.
int CompareServerText(std::wstring_view a, std::wstring_view b);
