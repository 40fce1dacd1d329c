#include "core/linux/platform_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "tests/support/abort_hook.h"

namespace {

constexpr int32_t E(int32_t error) {
    return 100000 + error;
}

TEST(PlatformError, LastErrorIsErrnoAboveTheBase) {
    errno = 0;
    EXPECT_EQ(Platform_GetLastError(), 0);
    EXPECT_LT(open("/nonexistent-dir-for-test/file", O_RDONLY), 0);
    PlatformErrorCode code = Platform_GetLastError();
    EXPECT_EQ(code, 100000 + ENOENT);
    EXPECT_EQ(code, 100002);
    EXPECT_EQ(Platform_ErrorMissing(code), 1);
    EXPECT_EQ(Platform_ErrorAccessInvalid(code), 1);
    EXPECT_STREQ(Platform_TranslateError(code), "Missing");
}

TEST(PlatformError, ClassMembership) {
    struct Case {
        PlatformErrorCode Code;
        // None, Missing, AccessInvalid, AccessDenied, NotEnoughSpace, Locked, NotSupported, AlreadyExists
        const char* Classes;
    };
    const Case cases[] = {
        {0, "10000000"},
        {E(ENOENT), "01100000"},
        {E(ESRCH), "01000000"},
        {E(EEXIST), "00100001"},
        {E(EBADF), "00100000"},
        {E(EISDIR), "00100000"},
        {E(ENAMETOOLONG), "00100000"},
        {E(ENETUNREACH), "00100000"},
        {E(EPERM), "00010000"},
        {E(EACCES), "00010000"},
        {E(EBUSY), "00010000"},
        {E(EROFS), "00010000"},
        {E(EAGAIN), "00010000"},
        {E(ENOSPC), "00001000"},
        {E(EDEADLK), "00000100"},
        {E(ENODEV), "00000010"},
        {E(ENOTSUP), "00000010"},
        {E(EOPNOTSUPP), "00000010"},
        {E(EAFNOSUPPORT), "00000010"},
        {E(ESOCKTNOSUPPORT), "00000010"},
        // Keyed by name: this system's EAGAIN is 11 and EDEADLK 35, the reverse of another's.
        {100011, "00010000"},
        {100035, "00000100"},
        // Status codes of another system keep their classes.
        {-43, "00100000"},
        {-1410, "00100000"},
        {-61, "00010000"},
        {-54, "00010000"},
        {7, "00010000"},
        {E(E2BIG), "00000000"},
        {-33, "00001000"},
        {-34, "00001100"},
        {-1425, "00001100"},
        {-1429, "00001000"},
        {-45, "00000100"},
        {-46, "00000100"},
        {-1424, "00000010"},
        {-2405, "00000010"},
        {100000, "00000000"},
        {35, "00000000"},
        {12345, "00000000"},
    };
    for (const Case& c : cases) {
        std::string got;
        for (auto test : {Platform_ErrorNone, Platform_ErrorMissing, Platform_ErrorAccessInvalid,
                          Platform_ErrorAccessDenied, Platform_ErrorNotEnoughSpace, Platform_ErrorLocked,
                          Platform_ErrorNotSupported, Platform_ErrorAlreadyExists}) {
            int64_t answer = test(c.Code);
            EXPECT_TRUE(answer == 0 || answer == 1);
            got += answer ? '1' : '0';
        }
        EXPECT_EQ(got, c.Classes) << c.Code;
    }
}

TEST(PlatformError, EveryRowOfTheClassTable) {
    // Each errno name and foreign status code of the table, with every class it belongs to.
    const struct {
        PlatformErrorCode Code;
        // None, Missing, AccessInvalid, AccessDenied, NotEnoughSpace, Locked, NotSupported, AlreadyExists
        const char* Classes;
    } rows[] = {
        {E(ENFILE), "00100000"},
        {E(EMFILE), "00100000"},
        {E(EFBIG), "00100000"},
        {E(ESPIPE), "00100000"},
        {E(EMLINK), "00100000"},
        {E(ENETDOWN), "00100000"},
        {E(EPROTONOSUPPORT), "00000010"},
        {E(EPFNOSUPPORT), "00000010"},
        {-42, "00100000"},
        {-38, "00100000"},
        {-37, "00100000"},
        {-23, "00100000"},
        {-120, "00100000"},
        {-925, "00100000"},
        {-1301, "00100000"},
        {-1407, "00100000"},
        {-1426, "00000010"},
        {-1858, "00000010"},
        // Neighbours of table entries belong to no class.
        {E(ENOTEMPTY), "00000000"},
        {E(EINVAL), "00000000"},
        {E(EDQUOT), "00000000"},
        {-44, "00000000"},
        {-1427, "00000000"},
        {E(0) + 1000, "00000000"},
    };
    for (const auto& row : rows) {
        std::string got;
        for (auto test : {Platform_ErrorNone, Platform_ErrorMissing, Platform_ErrorAccessInvalid,
                          Platform_ErrorAccessDenied, Platform_ErrorNotEnoughSpace, Platform_ErrorLocked,
                          Platform_ErrorNotSupported, Platform_ErrorAlreadyExists})
            got += test(row.Code) ? '1' : '0';
        EXPECT_EQ(got, row.Classes) << row.Code;
    }
}

TEST(PlatformError, RealFailuresLandInTheirClasses) {
    char directory[] = "/tmp/qvr-error-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string file = std::string(directory) + "/f";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    close(fd);

    errno = 0;
    EXPECT_LT(open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), 0);
    PlatformErrorCode code = Platform_GetLastError();
    EXPECT_EQ(Platform_ErrorAlreadyExists(code), 1);
    EXPECT_STREQ(Platform_TranslateError(code), "AccessInvalid");

    errno = 0;
    EXPECT_LT(open(directory, O_WRONLY), 0); // a directory opened as a file, even by root
    code = Platform_GetLastError();
    EXPECT_EQ(code, E(EISDIR));
    EXPECT_STREQ(Platform_TranslateError(code), "AccessInvalid");

    errno = 0;
    EXPECT_LT(open((file + "/below").c_str(), O_RDONLY), 0);
    EXPECT_STREQ(Platform_TranslateError(Platform_GetLastError()), "Unknown") << "ENOTDIR has no class";

    const std::string longName(300, 'n');
    errno = 0;
    EXPECT_LT(open((std::string(directory) + "/" + longName).c_str(), O_RDONLY), 0);
    EXPECT_EQ(Platform_GetLastError(), E(ENAMETOOLONG));
    EXPECT_EQ(Platform_ErrorAccessInvalid(Platform_GetLastError()), 1);

    // The full device fails every write as a full disk does.
    fd = open("/dev/full", O_WRONLY);
    if (fd >= 0) {
        errno = 0;
        EXPECT_LT(write(fd, "x", 1), 0);
        code = Platform_GetLastError();
        EXPECT_EQ(Platform_ErrorNotEnoughSpace(code), 1);
        EXPECT_STREQ(Platform_TranslateError(code), "NotEnoughSpace");
        close(fd);
    }
    unlink(file.c_str());
    rmdir(directory);
}

TEST(PlatformError, TranslateNamesTheFirstClassInItsOrder) {
    const struct {
        PlatformErrorCode Code;
        const char* Name;
    } cases[] = {
        {0, "None"},
        {E(ENOENT), "Missing"}, // before AccessInvalid
        {E(EACCES), "AccessDenied"},
        {E(EEXIST), "AccessInvalid"}, // also AlreadyExists, which has no name of its own
        {E(ENOSPC), "NotEnoughSpace"},
        {-34, "NotEnoughSpace"}, // before Locked
        {E(EDEADLK), "Locked"},
        {E(EPROTONOSUPPORT), "NotSupported"},
        {E(E2BIG), "Unknown"},
        {-1, "Unknown"},
        {100000, "Unknown"},
    };
    for (const auto& c : cases) EXPECT_STREQ(Platform_TranslateError(c.Code), c.Name) << c.Code;
}

TEST(PlatformError, ErrorStringsComeFromTheCLibraryForErrnoCodesOnly) {
    char buffer[128] = "x";
    EXPECT_EQ(Platform_GetErrorString(E(ENOENT), buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, strerror(ENOENT));
    EXPECT_STREQ(buffer, "No such file or directory");
    char small[3];
    EXPECT_EQ(Platform_GetErrorString(E(ENOENT), small, sizeof(small)), 1);
    EXPECT_STREQ(small, "No");
    for (PlatformErrorCode code : {0, 100000, -34, 7}) {
        strcpy(buffer, "x");
        EXPECT_EQ(Platform_GetErrorString(code, buffer, sizeof(buffer)), 0) << code;
        EXPECT_STREQ(buffer, "");
    }
    EXPECT_EQ(Platform_GetErrorString(E(ENOENT), buffer, 0), 0);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_GetErrorString(E(ENOENT), nullptr, 10);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST(PlatformError, SocketErrorTextsByName) {
    const struct {
        int32_t Error;
        const char* Text;
    } rows[] = {
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
        {EWOULDBLOCK, "Resource temporarily unavailable"},
    };
    for (const auto& row : rows)
        EXPECT_STREQ(Platform_TranslateSocketError(row.Error), row.Text) << row.Error;
    for (int32_t missing : {9999, -1, -5, ENOENT, INT32_MIN, INT32_MAX})
        EXPECT_STREQ(Platform_TranslateSocketError(missing), "Unknown Error") << missing;
    // 35 is another system's EAGAIN; here it is EDEADLK, which has no socket text.
    ASSERT_EQ(EDEADLK, 35);
    EXPECT_STREQ(Platform_TranslateSocketError(35), "Unknown Error");
}

} // namespace

// Failures no waiting can end stop retry loops at once; the ones another process may end do not.
TEST(PlatformError, PermanentFailures) {
    const int permanent[] = {EISDIR, ENOTDIR, ENAMETOOLONG, ELOOP, EROFS, EINVAL, ENXIO, ENODEV, EOPNOTSUPP};
    for (int e : permanent) EXPECT_EQ(Platform_ErrorPermanent(PLATFORM_ERROR_ERRNO_BASE + e), 1) << e;
    const int passing[] = {0, EACCES, EPERM, EAGAIN, EBUSY, ETXTBSY, EMFILE, ENFILE, ENOENT, EINTR, ENOSPC};
    for (int e : passing)
        EXPECT_EQ(Platform_ErrorPermanent(e ? PLATFORM_ERROR_ERRNO_BASE + e : 0), 0) << e;
    EXPECT_EQ(Platform_ErrorPermanent(-43), 0);
}
