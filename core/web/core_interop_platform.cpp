// The script classes for platform facts and services and for the registry store. Byte data (the
// registry's data values, the programs' data stores) travels as Base64 text. Each class is a table
// of its methods by the hash of their names.
#include <algorithm>
#include <cstdint>

#include "core/certs/authenticate.h"
#include "core/certs/executable.h"
#include "core/formats/interop_request.h"
#include "core/linux/gui/platform_keychain.h"
#include "core/linux/platform.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_facts.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_process.h"
#include "core/linux/platform_system.h"
#include "core/platform/registry.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/time.h"
#include "core/web/core_interop.h"
#include "core/web/core_interop_internal.h"

namespace {

// One method of a script class: the hash ApiGen_GetMethod answers for its name, and what it does
// with the call's arguments. A class's rows are sorted by hash.
struct Method {
    uint32_t Hash;
    int64_t (*Run)(CoreInteropArgs& a, Dictionary* response);
};

template <size_t N> constexpr bool Sorted(const Method (&methods)[N]) {
    return std::is_sorted(methods, methods + N,
                          [](const Method& x, const Method& y) { return x.Hash < y.Hash; });
}

template <size_t N>
int64_t Dispatch(const Method (&methods)[N], const char* className, Dictionary* request,
                 Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, className, &method, &hash)) return 0;
    const Method* row =
        std::lower_bound(methods, methods + N, hash, [](const Method& m, uint32_t h) { return m.Hash < h; });
    if (row == methods + N || row->Hash != hash) return 0;
    CoreInteropArgs a(request, className, method);
    return row->Run(a, response);
}

// A fact of the platform handed back as text.
template <int64_t (*function)(char* buffer, int32_t size)>
int64_t PlatformText(CoreInteropArgs& a, Dictionary* response) {
    CoreInteropText out;
    function(out.Text, CORE_INTEROP_TEXT_SIZE);
    return CoreInterop_ReturnString(response, a, out.Text);
}

// A stored credential's user name and password beside the answer; both empty when none was found.
int64_t ReturnCredential(CoreInteropArgs& a, Dictionary* response, int64_t found, const char* user,
                         const char* password) {
    Dictionary_SetStringByKey(response, "username", found ? user : "");
    Dictionary_SetStringByKey(response, "password", found ? password : "");
    return CoreInterop_ReturnBoolean(response, a, found);
}

// Access types above 5 stop the process in the store; a script's bad number is only refused.
bool ValidWebType(int32_t type) {
    return type >= 0 && type <= 5;
}

// The data store of a program (null path: this one), or null when it has none.
int64_t ReturnDataStore(CoreInteropArgs& a, Dictionary* response, const char* path) {
    if (!a.Go()) return CoreInterop_ReturnData(response, a, nullptr, 0);
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    Executable_GetDataStore(path, &bytes, &length);
    const int64_t result = CoreInterop_ReturnData(response, a, bytes, length);
    Executable_ReleaseDataStore(nullptr, &bytes, &length);
    return result;
}

constexpr Method kPlatformMethods[] = {
    {0x06692b54, // access
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* path = a.Path("path");
         const int32_t permissions = a.Int32("permissions");
         const uint32_t recurse = a.Boolean("recurse");
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Go() ? Platform_Access(path, permissions, recurse ? 1 : 0) : 0);
     }},
    {0x07bfa61d, // a wall-clock time as an HTTP date
     [](CoreInteropArgs& a, Dictionary* response) {
         const double date = a.Float64("date");
         CoreInteropText out;
         if (a.Ok()) Time_EncodedString(TIME_FIELD_RFC1123, out.Text, CORE_INTEROP_TEXT_SIZE, date);
         return CoreInterop_ReturnString(response, a, out.Text);
     }},
    {0x1ed34f4b, PlatformText<Platform_GetUserLang>}, // getUserLanguage
    {0x2b56d600,                                      // getCredential
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* target = a.String("target");
         CoreInteropText user, password;
         const int64_t found = a.Ok() ? Platform_GetCredential(target, user.Text, CORE_INTEROP_TEXT_SIZE,
                                                               password.Text, CORE_INTEROP_TEXT_SIZE)
                                      : 0;
         return ReturnCredential(a, response, found, user.Text, password.Text);
     }},
    {0x34fa6b67, // unsetEnvironmentVariable
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* name = a.String("name");
         return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_UnsetEnvironmentVariable(name) : 0);
     }},
    {0x3bef935b, // getProcessPath
     [](CoreInteropArgs& a, Dictionary* response) {
         const int32_t id = a.Int32("id");
         CoreInteropText out;
         if (a.Ok()) Platform_ProcessGetPathById((uint32_t)id, out.Text, CORE_INTEROP_TEXT_SIZE);
         return CoreInterop_ReturnString(response, a, out.Text);
     }},
    {0x453a06f7, // getDataStore
     [](CoreInteropArgs& a, Dictionary* response) { return ReturnDataStore(a, response, nullptr); }},
    {0x4699d37b, // getBitness
     [](CoreInteropArgs& a, Dictionary* response) {
         int32_t bits = 0;
         Platform_GetSystemBitness(&bits);
         return CoreInterop_ReturnInt32(response, a, bits);
     }},
    {0x48a1ac89, // findWindow
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* caption = a.String("caption");
         const char* className = a.String("className");
         const uint32_t searchOnlyVisible = a.Boolean("searchOnlyVisible");
         uint32_t window = 0;
         return CoreInterop_ReturnBoolean(
             response, a,
             a.Ok() ? Platform_FindWindow(caption, className, searchOnlyVisible ? 1 : 0, &window) : 0);
     }},
    {0x4a734581, // removeWebCredential
     [](CoreInteropArgs& a, Dictionary* response) {
         const int32_t type = a.Int32("accessType");
         const char* host = a.String("host");
         const char* realm = a.String("realm");
         const bool run = a.Ok() && ValidWebType(type);
         return CoreInterop_ReturnBoolean(
             response, a, run ? Platform_SetWebCredential((uint32_t)type, host, realm, nullptr, nullptr) : 0);
     }},
    {0x4ad55b1c, // authenticateX509
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* certStoreName = a.String("certStoreName");
         const char* path = a.Path("path");
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Go() ? Authenticate_ValidateX509Interop(certStoreName, path) : 0);
     }},
    {0x4cd17bcc, PlatformText<Platform_GetUserName>},  // getUserName
    {0x58437bd7, PlatformText<Platform_GetName>},      // getName
    {0x59fc4220, PlatformText<Platform_GetShortName>}, // getShortName
    {0x5fe81a4c,                                       // setCredential
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* target = a.String("target");
         const char* user = a.String("username");
         const char* password = a.String("password");
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Ok() ? Platform_SetCredential(target, user, password) : 0);
     }},
    {0x6f5a6d98, // getEnvironmentVariable
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* name = a.String("name");
         CoreInteropText out;
         if (a.Ok()) Platform_GetEnvironmentVariable(name, out.Text, CORE_INTEROP_TEXT_SIZE);
         return CoreInterop_ReturnString(response, a, out.Text);
     }},
    {0x81fe2bb0, // createShortcut
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* executable = a.String("executable");
         const char* parameter = a.String("parameter");
         const int32_t iconId = a.Int32("iconId");
         const char* location = a.String("location");
         const char* description = a.String("description");
         const char* iconLocation = a.String("iconLocation");
         const int32_t flags = a.Int32("flags");
         int64_t made = 0;
         if (a.Ok())
             made = Platform_CreateShortcut(executable, parameter, iconId, location, description,
                                            iconLocation, flags);
         return CoreInterop_ReturnBoolean(response, a, made);
     }},
    {0x943cbedd, // removeCredential
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* target = a.String("target");
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Ok() ? Platform_SetCredential(target, nullptr, nullptr) : 0);
     }},
    {0x9a0cb4d9, // setEnvironmentVariable
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* name = a.String("name");
         const char* value = a.String("value");
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Ok() ? Platform_SetEnvironmentVariable(name, value) : 0);
     }},
    {0xc153848c, // reboot
     [](CoreInteropArgs& a, Dictionary* response) {
         return CoreInterop_ReturnBoolean(response, a, Platform_Reboot());
     }},
    {0xcd62c621, // preventSystemSleep
     [](CoreInteropArgs& a, Dictionary* response) {
         const uint32_t prevent = a.Boolean("prevent");
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Ok() ? Platform_PreventSystemSleep(prevent ? 1 : 0) : 0);
     }},
    {0xcf618ab4, // getWebCredential
     [](CoreInteropArgs& a, Dictionary* response) {
         const int32_t type = a.Int32("accessType");
         const char* host = a.String("host");
         const char* realm = a.String("realm");
         CoreInteropText user, password;
         const int64_t found =
             a.Ok() && ValidWebType(type)
                 ? Platform_GetWebCredential((uint32_t)type, host, realm, user.Text, CORE_INTEROP_TEXT_SIZE,
                                             password.Text, CORE_INTEROP_TEXT_SIZE)
                 : 0;
         return ReturnCredential(a, response, found, user.Text, password.Text);
     }},
    {0xd3ee7032, // getFileDataStore
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* path = a.Path("path");
         return ReturnDataStore(a, response, path);
     }},
    {0xe18fbd97, PlatformText<Platform_GetUserCountry>}, // getUserCountry
    {0xe3b8dbed,                                         // removeShortcut
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* location = a.String("location");
         const char* description = a.String("description");
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Ok() ? Platform_RemoveShortcut(location, description) : 0);
     }},
    {0xe8cdf3b8, // translateError
     [](CoreInteropArgs& a, Dictionary* response) {
         const int32_t error = a.Int32("error");
         const char* text = a.Ok() ? Platform_TranslateError(error) : "";
         return CoreInterop_ReturnString(response, a, text ? text : "");
     }},
    {0xead8c82e, // findProcess
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* path = a.Path("path");
         int32_t pid = 0;
         if (a.Go()) Platform_FindProcess(path, &pid);
         return CoreInterop_ReturnInt32(response, a, pid);
     }},
    {0xf3559519, // shellOpen
     [](CoreInteropArgs& a, Dictionary* response) {
         const char* path = a.Path("path");
         return CoreInterop_ReturnBoolean(response, a, a.Go() ? Platform_ShellOpen(path) : 0);
     }},
    {0xfb7dba32, PlatformText<Platform_GetSystemTheme>}, // getSystemTheme
    {0xfd77f8ad,                                         // setWebCredential
     [](CoreInteropArgs& a, Dictionary* response) {
         const int32_t type = a.Int32("accessType");
         const char* host = a.String("host");
         const char* realm = a.String("realm");
         const char* user = a.String("username");
         const char* password = a.String("password");
         const bool run = a.Ok() && ValidWebType(type);
         return CoreInterop_ReturnBoolean(
             response, a, run ? Platform_SetWebCredential((uint32_t)type, host, realm, user, password) : 0);
     }},
};

// Where a registry call acts, its arguments read in the order every method lists them: the view,
// the security (writes only), the store type, the key and the value's name (not for keys).
struct RegistryPlace {
    const char* View = nullptr;
    const char* Security = nullptr;
    const char* Type = nullptr;
    const char* Key = nullptr;
    const char* Name = nullptr;
};

enum : uint32_t { PLACE_KEY = 0, PLACE_VALUE = 1, PLACE_WRITE = 2 };

RegistryPlace ReadPlace(CoreInteropArgs& a, uint32_t kind) {
    RegistryPlace place;
    place.View = a.String("view");
    if (kind & PLACE_WRITE) place.Security = a.String("security");
    place.Type = a.String("type");
    place.Key = a.String("key");
    if (kind & PLACE_VALUE) place.Name = a.String("name");
    return place;
}

constexpr Method kRegistryMethods[] = {
    {0x176f146a, // getInt32
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE);
         const int32_t defaultValue = a.Int32("defaultValue");
         uint32_t value = (uint32_t)defaultValue;
         if (a.Ok()) Registry_HelperGetInt32(p.View, p.Type, p.Key, p.Name, (uint32_t)defaultValue, &value);
         return CoreInterop_ReturnInt32(response, a, (int32_t)value);
     }},
    {0x2694a7c4, // deleteKey
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_KEY);
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Ok() ? Registry_HelperDeleteKey(p.View, p.Type, p.Key) : 0);
     }},
    {0x38024e6f, // setData
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE | PLACE_WRITE);
         const char* value = a.String("value");
         int64_t stored = 0;
         if (a.Ok()) {
             uint8_t* bytes = nullptr;
             uint32_t length = 0, size = 0;
             if (CoreInterop_DecodeData(a, "value", value, &bytes, &length, &size))
                 stored = Registry_HelperSetData(p.View, p.Security, p.Type, p.Key, p.Name, bytes, length);
             ApiGen_DeleteBase64DecodedBuffer(&bytes, &size);
         }
         return CoreInterop_ReturnBoolean(response, a, stored);
     }},
    {0x76f7b418, // getString
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE);
         const char* defaultValue = a.String("defaultValue");
         CoreInteropText out;
         if (a.Ok())
             Registry_HelperGetString(p.View, p.Type, p.Key, p.Name, defaultValue, out.Text,
                                      CORE_INTEROP_TEXT_SIZE);
         return CoreInterop_ReturnString(response, a, out.Text);
     }},
    {0x7b8a7acb, // setInt64
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE | PLACE_WRITE);
         const int64_t value = a.Int64("value");
         return CoreInterop_ReturnBoolean(
             response, a,
             a.Ok() ? Registry_HelperSetInt64(p.View, p.Security, p.Type, p.Key, p.Name, (uint64_t)value)
                    : 0);
     }},
    {0x837b451a, // getInt64
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE);
         const int64_t defaultValue = a.Int64("defaultValue");
         uint64_t value = (uint64_t)defaultValue;
         if (a.Ok()) Registry_HelperGetInt64(p.View, p.Type, p.Key, p.Name, (uint64_t)defaultValue, &value);
         return CoreInterop_ReturnInt64(response, a, (int64_t)value);
     }},
    {0x87dba765, // setString
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE | PLACE_WRITE);
         const char* value = a.String("value");
         return CoreInterop_ReturnBoolean(
             response, a,
             a.Ok() ? Registry_HelperSetString(p.View, p.Security, p.Type, p.Key, p.Name, value) : 0);
     }},
    {0xab93f6b2, // getData
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE);
         const char* defaultValue = a.String("defaultValue");
         if (!a.Ok()) return CoreInterop_ReturnData(response, a, nullptr, 0);
         uint8_t* fallback = nullptr;
         uint32_t fallbackLength = 0, fallbackSize = 0;
         if (!CoreInterop_DecodeData(a, "defaultValue", defaultValue, &fallback, &fallbackLength,
                                     &fallbackSize))
             fallbackLength = 0;
         uint8_t* bytes = nullptr;
         int32_t length = 0;
         // A value that is not there hands back the default's bytes; null only when neither exists.
         Registry_HelperGetData(p.View, p.Type, p.Key, p.Name, fallback, (int32_t)fallbackLength, &bytes,
                                &length);
         const int64_t result = CoreInterop_ReturnData(response, a, bytes, (uint32_t)length);
         Registry_HelperReleaseData(p.View, p.Type, p.Key, p.Name, fallback, (int32_t)fallbackLength, &bytes,
                                    &length);
         ApiGen_DeleteBase64DecodedBuffer(&fallback, &fallbackSize);
         return result;
     }},
    {0xc492adf1, // deleteValue
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE);
         return CoreInterop_ReturnBoolean(
             response, a, a.Ok() ? Registry_HelperDeleteValue(p.View, p.Type, p.Key, p.Name) : 0);
     }},
    {0xdd35f2d5, // keyExists
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_KEY);
         return CoreInterop_ReturnBoolean(response, a,
                                          a.Ok() ? Registry_HelperDoesExist(p.View, p.Type, p.Key) : 0);
     }},
    {0xef9e2bbb, // setInt32
     [](CoreInteropArgs& a, Dictionary* response) {
         const RegistryPlace p = ReadPlace(a, PLACE_VALUE | PLACE_WRITE);
         const int32_t value = a.Int32("value");
         return CoreInterop_ReturnBoolean(
             response, a,
             a.Ok() ? Registry_HelperSetInt32(p.View, p.Security, p.Type, p.Key, p.Name, (uint32_t)value)
                    : 0);
     }},
};

static_assert(Sorted(kPlatformMethods) && Sorted(kRegistryMethods),
              "the dispatch searches rows sorted by hash");

} // namespace

int64_t Platform_Invoke(void*, Dictionary* request, Dictionary* response) {
    return Dispatch(kPlatformMethods, "Platform", request, response);
}

int64_t Registry_Invoke(void*, Dictionary* request, Dictionary* response) {
    return Dispatch(kRegistryMethods, "Registry", request, response);
}
