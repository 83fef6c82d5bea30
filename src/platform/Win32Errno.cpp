// Win32 error codes for the errno values of file, folder and process calls.
#include <cerrno>

#include "platform/SystemText.h"
#include "platform/WinError.h"

namespace win {

namespace {

// Codes used here that the program itself never tests for by name.
constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kErrorNotReady = 21;
constexpr DWORD kErrorDevNotExist = 55;
constexpr DWORD kErrorWaitNoChildren = 128;
constexpr DWORD kErrorBadExeFormat = 193;
constexpr DWORD kErrorNoAccess = 998;
constexpr DWORD kErrorFileInvalid = 1006;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr DWORD kErrorPossibleDeadlock = 1131;
constexpr DWORD kErrorTooManyLinks = 1142;
constexpr DWORD kErrorCantResolveFilename = 1921;

}  // namespace

DWORD Win32ErrorFromErrno(int nErrno) {
    switch (nErrno) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            // A caller that knows the path tells a missing file from a missing folder.
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EPERM:
        case EACCES:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EIO:
            return ERROR_IO_DEVICE;
        case ENOMEM:
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBUSY:
            return ERROR_BUSY;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ESPIPE:
            return ERROR_SEEK;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EINTR:
        case ECANCELED:
            return ERROR_OPERATION_ABORTED;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case EXDEV:
            return kErrorNotSameDevice;
        case ENOMEDIUM:
            return kErrorNotReady;
        case ENXIO:
        case ENODEV:
            return kErrorDevNotExist;
        case ECHILD:
            return kErrorWaitNoChildren;
        case ENOEXEC:
            return kErrorBadExeFormat;
        case EFAULT:
            return kErrorNoAccess;
        case ESTALE:
            return kErrorFileInvalid;
        case EILSEQ:
            return kErrorNoUnicodeTranslation;
        case EDEADLK:
            return kErrorPossibleDeadlock;
        case EMLINK:
            return kErrorTooManyLinks;
        case ELOOP:
            return kErrorCantResolveFilename;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace win
