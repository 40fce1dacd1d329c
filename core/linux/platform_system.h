// Start and stop of the platform layer and the facts it answers about the machine, the user,
// loaded modules and well-known directories; environment, libraries and the console.
#pragma once

#include <cstdint>

// The process-wide platform record: pointer slots, zeroed at start, owned by the main thread.
enum : int32_t {
    PLATFORM_SLOT_APP_MARK = 0, // single-instance tracker, created on demand
    PLATFORM_SLOT_COUNT = 4,
};
struct GlobalPlatformRecord {
    void* Slots[PLATFORM_SLOT_COUNT];
};
// Null outside Platform_CommonInit ... Platform_CommonRemove.
extern GlobalPlatformRecord* GlobalPlatform;

// Start and stop, once each on the main thread before and after every other use of the layer.
int64_t Platform_CommonInit();
int64_t Platform_CommonRemove();
int64_t Platform_Init();
int64_t Platform_Remove();

// The "NAME" and "VERSION_ID" values of the os-release file; false (empty) when missing.
int64_t Platform_GetOSName(char* buffer, int32_t size);
int64_t Platform_GetOSVersion(char* buffer, int32_t size);

// Machine facts. Text results are cut to fit on a character boundary.
int64_t Platform_GetSystemBitness(int32_t* bits);
int64_t Platform_GetSystemMemory(int64_t* bytes);
int64_t Platform_GetPageSize(int32_t* bytes);
int64_t Platform_GetCPUCount(int32_t* count);
// Nominal speed in MHz, 0 when the system does not say; always true.
int64_t Platform_GetCPUSpeed(int32_t* mhz);
// The processor's model name cut before its first " ("; false (empty) when it has none.
int64_t Platform_GetCPUVendor(char* buffer, int32_t size);
int64_t Platform_GetDirectXVersion(char* buffer, int32_t size);
int64_t Platform_GetAntiVirus(int32_t index, char* buffer, int32_t size);
int64_t Platform_GetAntiVirusCount(int32_t* count);

// User facts.
// "dark" when the desktop prefers a dark colour scheme, else "light"; always true.
int64_t Platform_GetSystemTheme(char* buffer, int32_t size);
int64_t Platform_GetUserName(char* buffer, int32_t size);
// The user's message locale without encoding or modifier ("en_US"); false when none is chosen.
int64_t Platform_GetUserLocale(char* buffer, int32_t size);
// The language and country parts of the locale, else those of the process's locale; always true.
int64_t Platform_GetUserLang(char* buffer, int32_t size);
int64_t Platform_GetUserCountry(char* buffer, int32_t size);
// flag = 1 when the real or the effective user is root; always true.
int64_t Platform_IsElevated(int32_t* flag);

// Modules and libraries. A module handle is the dynamic loader's handle; it holds no reference.
void* Platform_GetModuleHandle(const char* name);
void* Platform_GetCurrentModuleHandle();
void* Platform_LoadLibrary(const char* path, int32_t logFailure);
void* Platform_LoadSystemLibrary(const char* path, int32_t logFailure);
int64_t Platform_FreeLibrary(void* handle);
void* Platform_GetProcAddress(void* handle, const char* symbol);

// Directories, each ending in '/' except the application path.
int64_t Platform_GetAppFilename(char* buffer, int32_t size);
int64_t Platform_GetPlatformDirectory(char* buffer, int32_t size);
int64_t Platform_GetSystemDirectory(char* buffer, int32_t size);
int64_t Platform_GetSystemDrive(char* buffer, int32_t size);
int64_t Platform_GetTempDirectory(char* buffer, int32_t size);
int64_t Platform_GetPipeDirectory(char* buffer, int32_t size);
int64_t Platform_GetCurrentDirectory(char* buffer, int32_t size);
int64_t Platform_SetCurrentDirectory(const char* path);
// A plain copy: this file system has no short names. False (empty) when it does not fit.
int64_t Platform_GetLongPath(const char* path, char* buffer, int32_t size);

// The program's environment: a table of its own, taken from the process environment at the
// platform's start (or first use), read by Platform_GetEnvironmentVariable and handed whole to
// every program launched. The C library's table is never changed: the C library and the toolkit
// keep the start-up environment and their own changes. False with errno: EINVAL for a name that
// is empty or holds '=', E2BIG for a variable past 128 KiB or a table grown past a megabyte.
int64_t Platform_SetEnvironmentVariable(const char* name, const char* value);
int64_t Platform_UnsetEnvironmentVariable(const char* name);
// For the platform layer's own readers. Copies the value of `name` into buffer as far as it fits,
// always terminated when size > 0, and answers its whole length; -1 (buffer empty) when unset.
int32_t Platform_ReadEnvironmentVariable(const char* name, char* buffer, int32_t size);
// A copy of the whole table for a launch: the null-ended pointers, then the "name=value" texts,
// in one block of *bytes bytes given back with Memory_Free. Null with errno when it cannot be made.
char** Platform_CopyEnvironment(int32_t* bytes);
// Console.
int64_t Platform_EnablePrivilege(int32_t privilege);
int64_t Platform_CreateShortcut(const char* programPath, const char* arguments, int32_t iconIndex,
                                const char* location, const char* name, const char* iconLocation,
                                int32_t runAsAdministrator);
int64_t Platform_RemoveShortcut(const char* location, const char* name);
// Asks the service manager to restart the machine; true when it accepted.
int64_t Platform_Reboot();
