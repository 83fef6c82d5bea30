#include "platform/SystemText.h"

#include <netdb.h>
#include <cerrno>

#include "platform/WinError.h"

namespace win {

namespace {

struct CCodeText {
    DWORD dwCode;
    const wchar_t* pszText;
};

// The readable texts of the codes this layer reports. Like system message texts they end
// with a line break.
constexpr CCodeText kTexts[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {4, L"Too many open files.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {13, L"The data is invalid.\r\n"},
    {14, L"Not enough storage is available to complete this operation.\r\n"},
    {17, L"The system cannot move the file to a different disk drive.\r\n"},
    {19, L"The media is write protected.\r\n"},
    {21, L"The device is not ready.\r\n"},
    {25, L"The drive cannot locate a specific area or track on the disk.\r\n"},
    {29, L"The system cannot write to the specified device.\r\n"},
    {30, L"The system cannot read from the specified device.\r\n"},
    {32, L"The process cannot access the file because it is being used by another process.\r\n"},
    {33,
     L"The process cannot access the file because another process has locked a portion of "
     L"the file.\r\n"},
    {38, L"Reached the end of the file.\r\n"},
    {39, L"The disk is full.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {55, L"The specified network resource or device is no longer available.\r\n"},
    {80, L"The file exists.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {109, L"The pipe has been ended.\r\n"},
    {112, L"There is not enough space on the disk.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {123, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {128, L"There are no child processes to wait for.\r\n"},
    {131, L"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, L"The directory is not empty.\r\n"},
    {161, L"The specified path is invalid.\r\n"},
    {170, L"The requested resource is in use.\r\n"},
    {183, L"Cannot create a file when that file already exists.\r\n"},
    {193, L"The file is not a valid application.\r\n"},
    {206, L"The filename or extension is too long.\r\n"},
    {234, L"More data is available.\r\n"},
    {259, L"No more data is available.\r\n"},
    {267, L"The directory name is invalid.\r\n"},
    {995,
     L"The I/O operation has been aborted because of either a thread exit or an "
     L"application request.\r\n"},
    {998, L"Invalid access to memory location.\r\n"},
    {1006,
     L"The volume for a file has been externally altered so that the opened file is no longer "
     L"valid.\r\n"},
    {1009, L"The configuration registry database is corrupt.\r\n"},
    {1010, L"The configuration registry key is invalid.\r\n"},
    {1016,
     L"An I/O operation initiated by the registry failed unrecoverably. The registry could "
     L"not read in, or write out, or flush, one of the files that contain the system's image "
     L"of the registry.\r\n"},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1113, L"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1117, L"The request could not be performed because of an I/O device error.\r\n"},
    {1131, L"A potential deadlock condition has been detected.\r\n"},
    {1142,
     L"An attempt was made to create more links on a file than the file system supports.\r\n"},
    {1460, L"This operation returned because the timeout period expired.\r\n"},
    {1921, L"The name of the file cannot be resolved by the system.\r\n"},
    {10004, L"A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10009, L"The file handle supplied is not valid.\r\n"},
    {10013,
     L"An attempt was made to access a socket in a way forbidden by its access "
     L"permissions.\r\n"},
    {10014,
     L"The system detected an invalid pointer address in attempting to use a pointer "
     L"argument in a call.\r\n"},
    {10022, L"An invalid argument was supplied.\r\n"},
    {10024, L"Too many open sockets.\r\n"},
    {10035, L"A non-blocking socket operation could not be completed immediately.\r\n"},
    {10036, L"A blocking operation is currently executing.\r\n"},
    {10037,
     L"An operation was attempted on a non-blocking socket that already had an "
     L"operation in progress.\r\n"},
    {10038, L"An operation was attempted on something that is not a socket.\r\n"},
    {10039, L"A required address was omitted from an operation on a socket.\r\n"},
    {10040,
     L"A message sent on a datagram socket was larger than the internal message buffer "
     L"or some other network limit, or the buffer used to receive a datagram into was "
     L"smaller than the datagram itself.\r\n"},
    {10041,
     L"A protocol was specified in the socket function call that does not support the "
     L"semantics of the socket type requested.\r\n"},
    {10042,
     L"An unknown, invalid, or unsupported option or level was specified in a "
     L"getsockopt or setsockopt call.\r\n"},
    {10043,
     L"The requested protocol has not been configured into the system, or no "
     L"implementation for it exists.\r\n"},
    {10044,
     L"The support for the specified socket type does not exist in this address "
     L"family.\r\n"},
    {10045, L"The attempted operation is not supported for the type of object referenced.\r\n"},
    {10046,
     L"The protocol family has not been configured into the system or no "
     L"implementation for it exists.\r\n"},
    {10047, L"An address incompatible with the requested protocol was used.\r\n"},
    {10048,
     L"Only one usage of each socket address (protocol/network address/port) is "
     L"normally permitted.\r\n"},
    {10049, L"The requested address is not valid in its context.\r\n"},
    {10050, L"A socket operation encountered a dead network.\r\n"},
    {10051, L"A socket operation was attempted to an unreachable network.\r\n"},
    {10052,
     L"The connection has been broken due to keep-alive activity detecting a failure "
     L"while the operation was in progress.\r\n"},
    {10053, L"An established connection was aborted by the software in your host machine.\r\n"},
    {10054, L"An existing connection was forcibly closed by the remote host.\r\n"},
    {10055,
     L"An operation on a socket could not be performed because the system lacked "
     L"sufficient buffer space or because a queue was full.\r\n"},
    {10056, L"A connect request was made on an already connected socket.\r\n"},
    {10057,
     L"A request to send or receive data was disallowed because the socket is not "
     L"connected and (when sending on a datagram socket using a sendto call) no address "
     L"was supplied.\r\n"},
    {10058,
     L"A request to send or receive data was disallowed because the socket had "
     L"already been shut down in that direction with a previous shutdown call.\r\n"},
    {10059, L"Too many references to some kernel object.\r\n"},
    {10060,
     L"A connection attempt failed because the connected party did not properly "
     L"respond after a period of time, or established connection failed because "
     L"connected host has failed to respond.\r\n"},
    {10061,
     L"No connection could be made because the target machine actively refused "
     L"it.\r\n"},
    {10062, L"Cannot translate name.\r\n"},
    {10063, L"Name component or name was too long.\r\n"},
    {10064, L"A socket operation failed because the destination host was down.\r\n"},
    {10065, L"A socket operation was attempted to an unreachable host.\r\n"},
    {10067, L"Too many processes are using the socket layer at once.\r\n"},
    {10091, L"The network subsystem is unavailable.\r\n"},
    {10092, L"The requested version of the socket layer is not supported.\r\n"},
    {10093,
     L"Either the application has not started the socket layer, or it has been "
     L"stopped.\r\n"},
    // Given for a send to a peer that is gone (a broken pipe).
    {10101, L"The remote party has closed the connection (broken pipe).\r\n"},
    {11001, L"No such host is known.\r\n"},
    {11002,
     L"This is usually a temporary error during hostname resolution and means that the "
     L"local server did not receive a response from an authoritative server.\r\n"},
    {11003, L"A non-recoverable error occurred during a database lookup.\r\n"},
    {11004, L"The requested name is valid, but no data of the requested type was found.\r\n"},
};

}  // namespace

std::wstring GetSystemMessage(DWORD dwCode) {
    for (const CCodeText& e : kTexts) {
        if (e.dwCode == dwCode) {
            return e.pszText;
        }
    }
    return {};
}

int WsaErrorFromErrno(int nErrno) {
    switch (nErrno) {
        case 0:
            return 0;
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAENOTSOCK;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EAGAIN:
            return WSAEWOULDBLOCK;
        case EINPROGRESS:
            return WSAEWOULDBLOCK;  // a non-blocking connect in progress
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EDESTADDRREQ:
            return WSAEDESTADDRREQ;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EPROTOTYPE:
            return WSAEPROTOTYPE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
            return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EPFNOSUPPORT:
            return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
            return WSAECONNRESET;
        case EPIPE:
            // The peer is gone (it closed, or reset an earlier send): not a reset of this
            // send by the remote host.
            return WSAEDISCON;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETOOMANYREFS:
            return WSAETOOMANYREFS;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ELOOP:
            return WSAELOOP;
        case ENAMETOOLONG:
            return WSAENAMETOOLONG;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        default:
            return WSAEINVAL;
    }
}

}  // namespace win
