#include "io_error.hpp"

#include <cerrno>
#include <cstring>

#include "protocols/text.hpp"

namespace pyvexa {

std::string_view error_kind_name(int code) noexcept {
    switch (code) {
        case EPERM:
        case EACCES: return "PermissionDenied";
        case ENOENT: return "NotFound";
        case EINTR: return "Interrupted";
        case E2BIG: return "ArgumentListTooLong";
        case EDEADLK: return "Deadlock";
        case ENOMEM: return "OutOfMemory";
        case EBUSY: return "ResourceBusy";
        case EEXIST: return "AlreadyExists";
        case EXDEV: return "CrossesDevices";
        case ENOTDIR: return "NotADirectory";
        case EISDIR: return "IsADirectory";
        case EINVAL: return "InvalidInput";
        case ETXTBSY: return "ExecutableFileBusy";
        case EFBIG: return "FileTooLarge";
        case ENOSPC: return "StorageFull";
        case ESPIPE: return "NotSeekable";
        case EROFS: return "ReadOnlyFilesystem";
        case EMLINK: return "TooManyLinks";
        case EPIPE: return "BrokenPipe";
        case EINPROGRESS: return "InProgress";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case ECONNABORTED: return "ConnectionAborted";
        case ECONNRESET: return "ConnectionReset";
        case ENOTCONN: return "NotConnected";
        case ETIMEDOUT: return "TimedOut";
        case ECONNREFUSED: return "ConnectionRefused";
        case ELOOP: return "FilesystemLoop";
        case ENAMETOOLONG: return "InvalidFilename";
        case EHOSTUNREACH: return "HostUnreachable";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EDQUOT: return "QuotaExceeded";
        case ESTALE: return "StaleNetworkFileHandle";
        case ENOSYS: return "Unsupported";
        default: break;
    }
    // Not in the switch: on some systems these share a number with another.
    if (code == EAGAIN || code == EWOULDBLOCK) return "WouldBlock";
    if (code == EOPNOTSUPP) return "Unsupported";
    return "Uncategorized";
}

std::string error_text(int code) {
    char buffer[256];
    // Either variant of strerror_r: the GNU one may return a static string.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return std::string(::strerror_r(code, buffer, sizeof buffer));
#else
    if (::strerror_r(code, buffer, sizeof buffer) != 0) return "Unknown error " + std::to_string(code);
    return std::string(buffer);
#endif
}

std::string IoError::render() const {
    if (os_code != 0) {
        return "Os { code: " + std::to_string(os_code) + ", kind: " + std::string(error_kind_name(os_code)) +
               ", message: " + protocols::text::quote(error_text(os_code)) + " }";
    }
    return "Error { kind: " + std::string(kind) + ", message: " + protocols::text::quote(message) + " }";
}

}  // namespace pyvexa
