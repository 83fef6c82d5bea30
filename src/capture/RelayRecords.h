// The records the relay hands to the traffic log beside its text (see CLogRecord): small
// helpers that fill in the session, the time and the addresses.
#pragma once

#include <string>
#include <string_view>

#include "module/LogRecord.h"
#include "platform/Winsock.h"

struct sockaddr_storage;

class CSessionLink;

// Any thread. The peer's address and port of a connected socket; family 0 when unknown.
CNetAddress PeerAddressOf(win::SOCKET hSocket);
// The address and port of a socket address; an IPv4-mapped IPv6 address is the IPv4
// address; family 0 for any other family.
CNetAddress NetAddressOf(const sockaddr_storage& storage);

// Any thread but the GUI thread; takes the module lock. Stamps the record with the
// session's id and number and the time, and hands it to the log.
void LogSessionRecord(const CSessionLink& link, CLogRecord record);

// The same for the common kinds.
void LogBlockBegin(const CSessionLink& link);
void LogBlockRecord(const CSessionLink& link, LogDirection direction, std::string_view bytes);
void LogSideRecord(const CSessionLink& link, LogRecordKind kind, LogDirection side);
