#include "capture/RelayRecords.h"

#include <netinet/in.h>

#include <cstring>

#include "capture/SessionLink.h"
#include "module/MyModule.h"

CNetAddress PeerAddressOf(win::SOCKET hSocket) {
    sockaddr_storage storage{};
    int nLength = sizeof(storage);
    if (hSocket == 0 ||
        win::getpeername(hSocket, reinterpret_cast<sockaddr*>(&storage), &nLength) != 0) {
        return {};
    }
    return NetAddressOf(storage);
}

CNetAddress NetAddressOf(const sockaddr_storage& storage) {
    CNetAddress address;
    if (storage.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
        address.nFamily = 4;
        std::memcpy(address.addr, &in.sin_addr, 4);
        address.nPort = ntohs(in.sin_port);
    } else if (storage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        address.nPort = ntohs(in6.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            // An IPv4 client on the listener of both families is an IPv4 client.
            address.nFamily = 4;
            std::memcpy(address.addr, in6.sin6_addr.s6_addr + 12, 4);
        } else {
            address.nFamily = 6;
            std::memcpy(address.addr, &in6.sin6_addr, 16);
        }
    }
    return address;
}

void LogSessionRecord(const CSessionLink& link, CLogRecord record) {
    if (!link.HasSession()) {
        return;  // a client of its own (tests) belongs to no session
    }
    record.nSessionId = link.GetSessionId();
    record.nSession = link.GetSession();
    CModuleLock lock;
    record.nTimeUs = LogRecordNow();
    g_Module.LogRecord(record);
}

void LogBlockBegin(const CSessionLink& link) {
    CLogRecord record;
    record.kind = LogRecordKind::BlockBegin;
    LogSessionRecord(link, record);
}

void LogBlockRecord(const CSessionLink& link, LogDirection direction, std::string_view bytes) {
    CLogRecord record;
    record.kind = LogRecordKind::Block;
    record.direction = direction;
    record.bytes = bytes;
    LogSessionRecord(link, record);
}

void LogSideRecord(const CSessionLink& link, LogRecordKind kind, LogDirection side) {
    CLogRecord record;
    record.kind = kind;
    record.direction = side;
    LogSessionRecord(link, record);
}
