// Facts a program file carries about itself: version values and product names. For the running
// program they are the values compiled in by the build; an ELF program carries them as a JSON
// object in its ".version.json" section.
#pragma once

#include <cstdint>

struct Dictionary;

// Takes the running program's application path and caches its information; 1.
int64_t Executable_Init();
// Copies the path (at most 320 characters) and refills the cache with its information; 1.
int64_t Executable_SetCurrentModuleAppPath(const char* path);
int64_t Executable_GetCurrentModuleAppPath(char* text, int32_t capacity);
// Releases the cache; 1.
int64_t Executable_Remove();
// Fills the dictionary with the information keys of the program at path (null or empty: the
// running program); 0 when the file carries none.
int64_t Executable_GetInfoDictionary(const char* path, Dictionary* dict);
// Copies the value (cut to the capacity, always terminated); 0 when the key is absent.
int64_t Executable_GetStringByKey(Dictionary* dict, const char* key, char* text, int32_t capacity);
// One information value; the running program's come from the cache once Executable_Init ran.

int64_t Executable_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity);
int64_t Executable_GetFileVersion(const char* path, char* text, int32_t capacity);
int64_t Executable_GetProductVersion(const char* path, char* text, int32_t capacity);
int64_t Executable_GetProductName(const char* path, char* text, int32_t capacity);
int64_t Executable_GetLegalCopyright(const char* path, char* text, int32_t capacity);
int64_t Executable_GetCompanyName(const char* path, char* text, int32_t capacity);
int64_t Executable_GetCommandLine(const char* path, char* text, int32_t capacity);
int64_t Executable_Shutdown();
// ---- Bundles --------------------------------------------------------------------------------
// 1 when the extension is ".app" or ".framework" (without case) and the bundle's Info.plist exists.
int64_t AppBundle_IsValid(const char* path);
// The bundle's Info.plist: under "Resources" for a framework, else under "Contents".
int64_t AppBundle_GetInfoPlistPath(const char* bundle, char* text, int32_t capacity);
// The Info.plist values mapped to the information keys, then every key of it; a file inside a
// bundle reads its enclosing bundle.
int64_t AppBundle_GetInfoDictionary(const char* path, Dictionary* dict);
// One value of AppBundle_GetInfoDictionary, the key compared without case.
int64_t AppBundle_GetInfoValue(const char* path, const char* key, char* text, int32_t capacity);
// bundle/Contents/MacOS/<ProductName>; 0 without a product name.
int64_t AppBundle_GetMachOPath(const char* bundle, char* text, int32_t capacity);
// The bundle a program inside ".app/Contents/MacOS" belongs to (cut just after ".app").
int64_t MachOFile_GetAppBundlePath(const char* file, char* text, int32_t capacity);

// ---- Disk images ----------------------------------------------------------------------------
struct Stream;
// The last 512 bytes start with "koly".
int64_t DMGFile_IsValidStream(Stream* stream);
int64_t DMGFile_IsValid(const char* path);
// The trailer's data store offset (big-endian u64 at 296) and size (at 304, used as 32 bits).
int64_t DMGFile_GetDataStoreOffset(Stream* stream, uint64_t* offset, uint64_t* size);
// The data store embedded in a program file (null path: the running program): 1 and a new buffer
// of length bytes and a terminating zero, or 0 with the buffer null and length 0. The region is
// a disk image's trailer range or an ELF program's ".datastore" section.
int64_t Executable_GetDataStore(const char* path, uint8_t** buffer, uint32_t* length);
// The deciphered skin store of a program file (an ELF program's ".skinstore" section, else the
// whole file), only when its authentication tag matches; same contract.
int64_t Executable_GetSkinStore(const char* path, uint8_t** buffer, uint32_t* length);
// Free a buffer of either reader; buffer null and length 0 after. 1.
int64_t Executable_ReleaseDataStore(void* user, uint8_t** buffer, uint32_t* length);
int64_t Executable_ReleaseSkinStore(void* user, uint8_t** buffer, uint32_t* length);
// Macro key provider: FileVersion, ProductVersion, CompanyName, ProductName and names beginning with
// "Copyright" (the "LegalCopyright" value) of the program named by the argument, always answered;
// DataStore and FileDataStore, the data store cut to the capacity (output untouched without one). Other names: 0.
int64_t Executable_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);
