// Platform error codes: one integer for every operating-system failure, the classes callers test
// it against instead of errno values, and the texts of socket errors.
#pragma once

#include <cstdint>

// 0 none; 100000 + errno; negative values are status codes of other systems, kept in the class
// tables so that a code carried over from there still lands in its class.
typedef int32_t PlatformErrorCode;

enum : int32_t { PLATFORM_ERROR_ERRNO_BASE = 100000 };

// 0 when errno is 0, else 100000 + errno.
PlatformErrorCode Platform_GetLastError();
// The C library's message for an errno code (above 100000); false for every other code.
int64_t Platform_GetErrorString(PlatformErrorCode code, char* buffer, int32_t size);

// Class tests. A code may be in several classes (a missing file is Missing and AccessInvalid).
int64_t Platform_ErrorNone(PlatformErrorCode code);
int64_t Platform_ErrorMissing(PlatformErrorCode code);
int64_t Platform_ErrorAccessInvalid(PlatformErrorCode code);
int64_t Platform_ErrorAccessDenied(PlatformErrorCode code);
int64_t Platform_ErrorNotEnoughSpace(PlatformErrorCode code);
int64_t Platform_ErrorLocked(PlatformErrorCode code);
int64_t Platform_ErrorNotSupported(PlatformErrorCode code);
int64_t Platform_ErrorAlreadyExists(PlatformErrorCode code);
// 1 for failures that no other process can end by letting go of a file (a directory where a file
// is expected, a name too long, a link loop, a read-only file system, ...): retrying them only makes
// the caller wait out every attempt.
int64_t Platform_ErrorPermanent(PlatformErrorCode code);

// The name of the first class that accepts the code: "None", "Missing", "AccessDenied",
// "AccessInvalid", "NotEnoughSpace", "Locked", "NotSupported", else "Unknown".
const char* Platform_TranslateError(PlatformErrorCode code);
// The text of a plain errno value from a socket call; "Unknown Error" when it has none.
const char* Platform_TranslateSocketError(int32_t error);
