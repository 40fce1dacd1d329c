// Platform error codes on Linux. The class and text tables are keyed by errno names, so the
// numbers are this system's own; texts and class memberships stay as the callers expect them.
#include "core/linux/platform_error.h"

#include <cerrno>
#include <cstring>
#include <span>

#include "core/runtime/debug.h"

namespace {

constexpr int32_t E(int32_t error) {
    return PLATFORM_ERROR_ERRNO_BASE + error;
}

// Negative entries are status codes of another system; this one never produces them, but a code
// stored there and read back here keeps its class.
constexpr int32_t kMissing[] = {E(ENOENT), E(ESRCH)};
constexpr int32_t kAccessInvalid[] = {
    E(ENOENT), E(EBADF),    E(EEXIST),      E(EISDIR),       E(ENFILE), E(EMFILE), E(EFBIG), E(ESPIPE),
    E(EMLINK), E(ENETDOWN), E(ENETUNREACH), E(ENAMETOOLONG), -43,       -42,       -38,      -37,
    -23,       -120,        -925,           -1301,           -1407,     -1410};
// The plain 7 (not 100000 + 7) is a status code of the other system that means "no access".
constexpr int32_t kAccessDenied[] = {E(EPERM), E(EACCES), E(EBUSY), E(EROFS), E(EAGAIN), -61, -54, 7};
constexpr int32_t kNotEnoughSpace[] = {E(ENOSPC), -33, -34, -1425, -1429};
constexpr int32_t kLocked[] = {E(EDEADLK), -45, -46, -34, -1425};
constexpr int32_t kNotSupported[] = {E(ENODEV),
                                     E(EPROTONOSUPPORT),
                                     E(ESOCKTNOSUPPORT),
                                     E(ENOTSUP),
                                     E(EPFNOSUPPORT),
                                     E(EAFNOSUPPORT),
                                     E(EOPNOTSUPP),
                                     -1424,
                                     -1426,
                                     -1858,
                                     -2405};
constexpr int32_t kAlreadyExists[] = {E(EEXIST)};

bool Contains(std::span<const int32_t> table, int32_t code) {
    for (int32_t entry : table)
        if (entry == code) return true;
    return false;
}

struct SocketErrorText {
    int32_t Code;
    const char* Text;
};

// The first row is the fallback.
constexpr SocketErrorText kSocketErrors[] = {
    {-1, "Unknown Error"},
    {0, "No Error"},
    {EACCES, "Permission denied"},
    {EADDRINUSE, "Address already in use"},
    {EADDRNOTAVAIL, "Cannot assign requested address"},
    {EAFNOSUPPORT, "Address family not supported by protocol family"},
    {EALREADY, "Operation already in progress"},
    {EBADF, "Bad file number"},
    {ECANCELED, "Cancelled"},
    {ECONNABORTED, "Software caused connection abort"},
    {ECONNREFUSED, "Connection refused"},
    {ECONNRESET, "Connection reset by peer"},
    {EDESTADDRREQ, "Destination address required"},
    {EDQUOT, "Disk quota"},
    {EFAULT, "Bad address"},
    {EHOSTDOWN, "Host is down"},
    {EHOSTUNREACH, "No route to host"},
    {EINPROGRESS, "Operation now in progress"},
    {EINTR, "Interrupted function call"},
    {EINVAL, "Invalid argument"},
    {EISCONN, "Socket is already connected"},
    {ELOOP, "Loop"},
    {EMFILE, "Too many open files"},
    {EMSGSIZE, "Message too long"},
    {ENAMETOOLONG, "Name too long"},
    {ENETDOWN, "Network is down"},
    {ENETRESET, "Network dropped connection on reset"},
    {ENETUNREACH, "Network is unreachable"},
    {ENOBUFS, "No buffer space available"},
    {ENOPROTOOPT, "Bad protocol option"},
    {ENOTCONN, "Socket is not connected"},
    {ENOTEMPTY, "Directory not empty"},
    {ENOTSOCK, "Socket operation on non-socket"},
    {EOPNOTSUPP, "Operation not supported"},
    {EPFNOSUPPORT, "Protocol family not supported"},
#ifdef EPROCLIM // a process-count limit error exists on some systems only
    {EPROCLIM, "Too many processes"},
#endif
    {EPROTONOSUPPORT, "Protocol not supported"},
    {EPROTOTYPE, "Protocol wrong type for socket"},
    {EREMOTE, "Remote"},
    {ESHUTDOWN, "Cannot send after socket shutdown"},
    {ESOCKTNOSUPPORT, "Socket type not supported"},
    {ESTALE, "Stale"},
    {ETIMEDOUT, "Connection timed out"},
    {ETOOMANYREFS, "Too many references"},
    {EUSERS, "Too many users"},
    {EAGAIN, "Resource temporarily unavailable"},
};

// Two names with one number on this system would make a row unreachable.
constexpr bool SocketCodesAreDistinct() {
    for (size_t i = 0; i < std::size(kSocketErrors); i++)
        for (size_t j = i + 1; j < std::size(kSocketErrors); j++)
            if (kSocketErrors[i].Code == kSocketErrors[j].Code) return false;
    return true;
}
static_assert(SocketCodesAreDistinct(), "two socket error names share a number");

} // namespace

PlatformErrorCode Platform_GetLastError() {
    int error = errno;
    return error == 0 ? 0 : E(error);
}

int64_t Platform_GetErrorString(PlatformErrorCode code, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    if (size < 1) return 0;
    buffer[0] = 0;
    if (code <= PLATFORM_ERROR_ERRNO_BASE) return 0;
    char scratch[256];
    // The GNU form: the answer may point at a static text instead of the scratch buffer.
    const char* text = strerror_r(code - PLATFORM_ERROR_ERRNO_BASE, scratch, sizeof(scratch));
    if (!text || !text[0]) return 0;
    size_t length = strnlen(text, (size_t)size - 1);
    memcpy(buffer, text, length);
    buffer[length] = 0;
    return 1;
}

int64_t Platform_ErrorNone(PlatformErrorCode code) {
    return code == 0;
}
int64_t Platform_ErrorMissing(PlatformErrorCode code) {
    return Contains(kMissing, code);
}
int64_t Platform_ErrorAccessInvalid(PlatformErrorCode code) {
    return Contains(kAccessInvalid, code);
}
int64_t Platform_ErrorAccessDenied(PlatformErrorCode code) {
    return Contains(kAccessDenied, code);
}
int64_t Platform_ErrorNotEnoughSpace(PlatformErrorCode code) {
    return Contains(kNotEnoughSpace, code);
}
int64_t Platform_ErrorLocked(PlatformErrorCode code) {
    return Contains(kLocked, code);
}
int64_t Platform_ErrorNotSupported(PlatformErrorCode code) {
    return Contains(kNotSupported, code);
}
int64_t Platform_ErrorAlreadyExists(PlatformErrorCode code) {
    return Contains(kAlreadyExists, code);
}

const char* Platform_TranslateError(PlatformErrorCode code) {
    if (Platform_ErrorNone(code)) return "None";
    if (Platform_ErrorMissing(code)) return "Missing";
    if (Platform_ErrorAccessDenied(code)) return "AccessDenied";
    if (Platform_ErrorAccessInvalid(code)) return "AccessInvalid";
    if (Platform_ErrorNotEnoughSpace(code)) return "NotEnoughSpace";
    if (Platform_ErrorLocked(code)) return "Locked";
    if (Platform_ErrorNotSupported(code)) return "NotSupported";
    return "Unknown";
}

const char* Platform_TranslateSocketError(int32_t error) {
    for (const SocketErrorText& row : kSocketErrors)
        if (row.Code == error) return row.Text;
    return kSocketErrors[0].Text;
}

int64_t Platform_ErrorPermanent(PlatformErrorCode code) {
    switch (code - PLATFORM_ERROR_ERRNO_BASE) {
    case EISDIR:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EROFS:
    case EINVAL:
    case ENXIO:
    case ENODEV:
    case EOPNOTSUPP:
        return 1;
    default:
        return 0;
    }
}
