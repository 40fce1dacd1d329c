// Tests of the platform error codes: errno above the base, the classes codes of this system and
// of another belong to, the names and texts they are shown with, and which failures are permanent.
#include "core/linux/platform_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

constexpr int32_t E(int32_t error) {
    return PLATFORM_ERROR_ERRNO_BASE + error;
}

// The classes a code belongs to, one digit each in the order None, Missing, AccessInvalid,
// AccessDenied, NotEnoughSpace, Locked, NotSupported, AlreadyExists.
std::string Classes(PlatformErrorCode code) {
    std::string got;
    for (auto test : {Platform_ErrorNone, Platform_ErrorMissing, Platform_ErrorAccessInvalid,
                      Platform_ErrorAccessDenied, Platform_ErrorNotEnoughSpace, Platform_ErrorLocked,
                      Platform_ErrorNotSupported, Platform_ErrorAlreadyExists}) {
        const int64_t answer = test(code);
        got += answer == 1 ? '1' : answer == 0 ? '0' : '?';
    }
    return got;
}

TEST(PlatformError, RealFailuresLandInTheirClasses) {
    TempDir dir;
    const std::string file = dir.file("f");
    ASSERT_TRUE(WriteText(file, ""));
    const struct {
        const char* Name;
        std::function<bool()> Fail;
        PlatformErrorCode Code; // 0: not checked
        const char* Classes;
        const char* Text;
    } cases[] = {{"nothing failed", [] { return true; }, 0, "10000000", "None"},
                 {"missing", [] { return open("/nonexistent-dir-for-test/f", O_RDONLY) < 0; }, 100002,
                  "01100000", "Missing"},
                 {"exists", [&] { return open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600) < 0; },
                  E(EEXIST), "00100001", "AccessInvalid"},
                 // Even root cannot open a directory for writing.
                 {"directory", [&] { return open(dir.path().c_str(), O_WRONLY) < 0; }, E(EISDIR), "00100000",
                  "AccessInvalid"},
                 {"below a file", [&] { return open((file + "/x").c_str(), O_RDONLY) < 0; }, E(ENOTDIR),
                  "00000000", "Unknown"},
                 {"long name", [&] { return open(dir.file(std::string(300, 'n')).c_str(), O_RDONLY) < 0; },
                  E(ENAMETOOLONG), "00100000", "AccessInvalid"},
                 // The full device fails every write as a full disk does.
                 {"full disk",
                  [] {
                      const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
                      const bool failed = fd < 0 || write(fd, "x", 1) < 0;
                      if (fd >= 0) close(fd);
                      return failed;
                  },
                  E(ENOSPC), "00001000", "NotEnoughSpace"}};
    for (const auto& c : cases) {
        errno = 0;
        ASSERT_TRUE(c.Fail()) << c.Name;
        const PlatformErrorCode code = Platform_GetLastError();
        EXPECT_EQ(code, c.Code) << c.Name;
        EXPECT_EQ(Classes(code), c.Classes) << c.Name;
        EXPECT_STREQ(Platform_TranslateError(code), c.Text) << c.Name;
    }
}

TEST(PlatformError, ClassMembership) {
    const struct {
        const char* Classes;
        std::vector<PlatformErrorCode> Codes;
    } groups[] = {
        {"10000000", {0}},
        {"01100000", {E(ENOENT)}},
        {"01000000", {E(ESRCH)}},
        {"00100001", {E(EEXIST)}},
        // Status codes of another system keep their classes; the plain 7 means "no access".
        {"00100000",
         {E(EBADF),
          E(EISDIR),
          E(ENAMETOOLONG),
          E(ENETUNREACH),
          E(ENFILE),
          E(EMFILE),
          E(EFBIG),
          E(ESPIPE),
          E(EMLINK),
          E(ENETDOWN),
          -43,
          -42,
          -38,
          -37,
          -23,
          -120,
          -925,
          -1301,
          -1407,
          -1410}},
        // Keyed by name: this system's EAGAIN is 11 and EDEADLK 35, the reverse of another's.
        {"00010000", {E(EPERM), E(EACCES), E(EBUSY), E(EROFS), E(EAGAIN), 100011, -61, -54, 7}},
        {"00001000", {E(ENOSPC), -33, -1429}},
        {"00001100", {-34, -1425}},
        {"00000100", {E(EDEADLK), 100035, -45, -46}},
        {"00000010",
         {E(ENODEV), E(ENOTSUP), E(EOPNOTSUPP), E(EAFNOSUPPORT), E(ESOCKTNOSUPPORT), E(EPROTONOSUPPORT),
          E(EPFNOSUPPORT), -1424, -1426, -1858, -2405}},
        // Neighbours of table entries, and codes of no class.
        {"00000000", {E(E2BIG), E(ENOTEMPTY), E(EINVAL), E(EDQUOT), -44, -1427, E(1000), 100000, 35, 12345}}};
    for (const auto& group : groups)
        for (PlatformErrorCode code : group.Codes) EXPECT_EQ(Classes(code), group.Classes) << code;
}

TEST(PlatformError, TranslateNamesTheFirstClassInItsOrder) {
    const struct {
        PlatformErrorCode Code;
        const char* Name;
    } cases[] = {{E(EACCES), "AccessDenied"}, {-34, "NotEnoughSpace"}, // before Locked
                 {E(EDEADLK), "Locked"},      {E(EPROTONOSUPPORT), "NotSupported"},
                 {E(E2BIG), "Unknown"},       {-1, "Unknown"},
                 {100000, "Unknown"}};
    for (const auto& c : cases) EXPECT_STREQ(Platform_TranslateError(c.Code), c.Name) << c.Code;
}

TEST(PlatformError, ErrorStringsComeFromTheCLibraryForErrnoCodesOnly) {
    const struct {
        PlatformErrorCode Code;
        int32_t Size;
        int64_t Result;
        const char* Text;
    } cases[] = {{E(ENOENT), 128, 1, "No such file or directory"},
                 {E(ENOENT), 3, 1, "No"},
                 {0, 128, 0, ""},
                 {100000, 128, 0, ""},
                 {-34, 128, 0, ""},
                 {7, 128, 0, ""}};
    for (const auto& c : cases) {
        std::vector<char> buffer((size_t)c.Size, 'x');
        EXPECT_EQ(Platform_GetErrorString(c.Code, buffer.data(), c.Size), c.Result) << c.Code;
        EXPECT_STREQ(buffer.data(), c.Text) << c.Code;
    }
    char untouched = 'x';
    EXPECT_EQ(Platform_GetErrorString(E(ENOENT), &untouched, 0), 0);
    EXPECT_EQ(untouched, 'x');
}

TEST(PlatformError, SocketErrorTextsByName) {
    const struct {
        int32_t Error;
        const char* Text;
    } rows[] = {{0, "No Error"},
                // A sample across the table: first, last and a few the socket layer meets most.
                {EACCES, "Permission denied"},
                {ECONNREFUSED, "Connection refused"},
                {EINPROGRESS, "Operation now in progress"},
                {ENOTSOCK, "Socket operation on non-socket"},
                {ETIMEDOUT, "Connection timed out"},
                {EUSERS, "Too many users"},
                {EAGAIN, "Resource temporarily unavailable"},
                {EWOULDBLOCK, "Resource temporarily unavailable"},
                // 35 is another system's EAGAIN; here it is EDEADLK, which has no socket text.
                {35, "Unknown Error"},
                {9999, "Unknown Error"},
                {-1, "Unknown Error"},
                {-5, "Unknown Error"},
                {ENOENT, "Unknown Error"},
                {INT32_MIN, "Unknown Error"},
                {INT32_MAX, "Unknown Error"}};
    for (const auto& row : rows)
        EXPECT_STREQ(Platform_TranslateSocketError(row.Error), row.Text) << row.Error;
}

// Failures no waiting can end stop retry loops at once; the ones another process may end do not.
TEST(PlatformError, PermanentFailures) {
    for (int e : {EISDIR, ENOTDIR, ENAMETOOLONG, ELOOP, EROFS, EINVAL, ENXIO, ENODEV, EOPNOTSUPP})
        EXPECT_EQ(Platform_ErrorPermanent(E(e)), 1) << e;
    for (int e : {EACCES, EPERM, EAGAIN, EBUSY, ETXTBSY, EMFILE, ENFILE, ENOENT, EINTR, ENOSPC})
        EXPECT_EQ(Platform_ErrorPermanent(E(e)), 0) << e;
    for (PlatformErrorCode code : {0, -43}) EXPECT_EQ(Platform_ErrorPermanent(code), 0) << code;
}

} // namespace
