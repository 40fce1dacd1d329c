// The flat operating-system layer: atomics, random bytes, sleep, standard streams, special
// directories, module facts and the few file calls the core needs before the file layer.
#pragma once

#include <cstdint>

// PlatformSpecialPath ids.
enum : uint32_t {
    PLATFORM_PATH_USER_START_MENU = 1,
    PLATFORM_PATH_COMMON_START_MENU = 2,
    PLATFORM_PATH_PROGRAM_FILES = 3,
    PLATFORM_PATH_PROGRAM_FILES64 = 4,
    PLATFORM_PATH_USER_HOME = 5,
    PLATFORM_PATH_USER_DOCUMENTS = 6,
    PLATFORM_PATH_USER_DESKTOP = 7,
    PLATFORM_PATH_COMMON_DESKTOP = 8,
    PLATFORM_PATH_USER_APP_DATA = 9,
    PLATFORM_PATH_USER_APP_DATA_ROAMING = 10,
    PLATFORM_PATH_COMMON_APP_DATA = 11,
    PLATFORM_PATH_TEMP = 12,
    PLATFORM_PATH_ADMIN_TEMP = 13,
    PLATFORM_PATH_SYSTEM_DIRECTORY = 14,
    PLATFORM_PATH_SYSTEM_DRIVE = 15,
    PLATFORM_PATH_MODULE_PATH = 16,
    PLATFORM_PATH_MODULE_DIRECTORY = 17,
    PLATFORM_PATH_MODULE_APP_PATH = 18,
    PLATFORM_PATH_MODULE_APP_DIRECTORY = 19,
    PLATFORM_PATH_MODULE_DLL_PATH = 20,
    PLATFORM_PATH_MODULE_DLL_DIRECTORY = 21,
    PLATFORM_PATH_PIPE_PATH = 22,
    PLATFORM_PATH_WORKING_DIRECTORY = 23,
    PLATFORM_PATH_USER_DOWNLOADS = 24,
    PLATFORM_PATH_USER_APP_DATA_LOW = 25,
};

// Atomics: sequentially consistent on aligned values. Increment, Decrement and Add return
// the new value; the compare-and-swaps return the old one.
uint32_t Platform_Increment(volatile uint32_t* value);
uint32_t Platform_Decrement(volatile uint32_t* value);
uint32_t Platform_Add(volatile uint32_t* value, int32_t amount);
uint32_t Platform_CAS(volatile uint32_t* target, uint32_t newValue, uint32_t expected);
void* Platform_CASPointer(void* volatile* target, void* newPointer, void* expected);
uint32_t Platform_CTZ(uint32_t value);
uint32_t Platform_CLZ(uint32_t value);

int64_t Platform_CreateGuid(uint8_t* out16);
int64_t Platform_CryptFill(void* buffer, int32_t size);
int64_t Platform_SleepMS(int32_t ms);

uint32_t Platform_GetCurrentProcessId();
uint32_t Platform_ThreadGetCurrentId();

// Standard streams: 0 input, 1 output, 2 error; the handle is the descriptor plus one so that
// a null handle means "none".
void* Platform_GetStdHandle(int32_t index);
int64_t Platform_WriteStd(void* stream, const void* data, int32_t length, int32_t* written);
int64_t Platform_AllocConsole();
int64_t Platform_FreeConsole();
int64_t Platform_SetConsoleTitle(const char* title);
int64_t Platform_SetupConsoleControl();
int64_t Platform_SetConsoleControlOverride(void (*fn)(int32_t signal));
void Debug_ConsoleControlHandler(int32_t signal);

int64_t Platform_GetEnvironmentVariable(const char* name, char* buffer, int32_t size);
int64_t Platform_GetSpecialPath(uint32_t id, char* buffer, int32_t size);
int64_t Platform_GetModuleFilename(void* handle, char* buffer, int32_t size);
int64_t Platform_GetModuleDirectory(void* handle, char* buffer, int32_t size);
int64_t Platform_GetModuleLogDirectory(void* handle, char* buffer, int32_t size);
int64_t Platform_GetUserHome(char* buffer, int32_t size);
int64_t Platform_GetDebugFlagsFromKey(uint32_t* flags);

// Reads the start of a small file (the /proc files report no size) into a terminated buffer:
// the bytes read, or -1 when it cannot be opened.
int32_t Platform_ReadSmallFile(const char* path, char* buffer, int32_t capacity);
// Creates the directory and every missing parent, each new one 0700 since they hold the user's
// own data (logs, preferences); true when it exists afterwards.
int64_t Platform_CreateDirectoryTree(const char* path);

// The platform layer's other topics.
#include "core/linux/platform_error.h"
#include "core/linux/platform_facts.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_network.h"
#include "core/linux/platform_pipe.h"
#include "core/linux/platform_process.h"
#include "core/linux/platform_registry.h"
#include "core/linux/platform_singleton.h"
#include "core/linux/platform_system.h"
#include "core/linux/platform_thread.h"
