// The script classes for platform facts and services and for the registry store. Byte data (the
// registry's data values, the programs' data stores) travels as Base64 text.
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

typedef int64_t (*PlatformTextFunc)(char* buffer, int32_t size);

int64_t ReturnPlatformText(CoreInteropArgs& a, Dictionary* response, PlatformTextFunc function) {
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
bool ValidWebType(int32_t type) { return type >= 0 && type <= 5; }

// The data store of a program (null path: this one), or null when it has none.
int64_t ReturnDataStore(CoreInteropArgs& a, Dictionary* response, const char* path) {
    if (!a.Ok()) return CoreInterop_ReturnData(response, a, nullptr, 0);
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    Executable_GetDataStore(path, &bytes, &length);
    const int64_t result = CoreInterop_ReturnData(response, a, bytes, length);
    Executable_ReleaseDataStore(nullptr, &bytes, &length);
    return result;
}

} // namespace

int64_t Platform_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Platform", &method, &hash)) return 0;
    CoreInteropArgs a(request, "Platform", method);
    switch (hash) {
    case 0x06692b54: { // access
        const char* path = a.String("path");
        const int32_t permissions = a.Int32("permissions");
        const uint32_t recurse = a.Boolean("recurse");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_Access(path, permissions, recurse ? 1 : 0) : 0);
    }
    case 0x07bfa61d: { // a wall-clock time as an HTTP date
        const double date = a.Float64("date");
        CoreInteropText out;
        if (a.Ok()) Time_EncodedString(TIME_FIELD_RFC1123, out.Text, CORE_INTEROP_TEXT_SIZE, date);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    case 0x1ed34f4b: // getUserLanguage
        return ReturnPlatformText(a, response, Platform_GetUserLang);
    case 0x2b56d600: { // getCredential
        const char* target = a.String("target");
        CoreInteropText user, password;
        const int64_t found = a.Ok() ? Platform_GetCredential(target, user.Text, CORE_INTEROP_TEXT_SIZE,
                                                               password.Text, CORE_INTEROP_TEXT_SIZE)
                                     : 0;
        return ReturnCredential(a, response, found, user.Text, password.Text);
    }
    case 0x34fa6b67: { // unsetEnvironmentVariable
        const char* name = a.String("name");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_UnsetEnvironmentVariable(name) : 0);
    }
    case 0x3bef935b: { // getProcessPath
        const int32_t id = a.Int32("id");
        CoreInteropText out;
        if (a.Ok()) Platform_ProcessGetPathById((uint32_t)id, out.Text, CORE_INTEROP_TEXT_SIZE);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    case 0x453a06f7: // getDataStore
        return ReturnDataStore(a, response, nullptr);
    case 0x4699d37b: { // getBitness
        int32_t bits = 0;
        Platform_GetSystemBitness(&bits);
        return CoreInterop_ReturnInt32(response, a, bits);
    }
    case 0x48a1ac89: { // findWindow
        const char* caption = a.String("caption");
        const char* className = a.String("className");
        const uint32_t searchOnlyVisible = a.Boolean("searchOnlyVisible");
        uint32_t window = 0;
        return CoreInterop_ReturnBoolean(
            response, a, a.Ok() ? Platform_FindWindow(caption, className, searchOnlyVisible ? 1 : 0, &window) : 0);
    }
    case 0x4a734581: { // removeWebCredential
        const int32_t type = a.Int32("accessType");
        const char* host = a.String("host");
        const char* realm = a.String("realm");
        const bool run = a.Ok() && ValidWebType(type);
        return CoreInterop_ReturnBoolean(
            response, a, run ? Platform_SetWebCredential((uint32_t)type, host, realm, nullptr, nullptr) : 0);
    }
    case 0x4ad55b1c: { // authenticateX509
        const char* certStoreName = a.String("certStoreName");
        const char* path = a.String("path");
        return CoreInterop_ReturnBoolean(response, a,
                                         a.Ok() ? Authenticate_ValidateX509Interop(certStoreName, path) : 0);
    }
    case 0x4cd17bcc: // getUserName
        return ReturnPlatformText(a, response, Platform_GetUserName);
    case 0x58437bd7: // getName
        return ReturnPlatformText(a, response, Platform_GetName);
    case 0x59fc4220: // getShortName
        return ReturnPlatformText(a, response, Platform_GetShortName);
    case 0x5fe81a4c: { // setCredential
        const char* target = a.String("target");
        const char* user = a.String("username");
        const char* password = a.String("password");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_SetCredential(target, user, password) : 0);
    }
    case 0x6f5a6d98: { // getEnvironmentVariable
        const char* name = a.String("name");
        CoreInteropText out;
        if (a.Ok()) Platform_GetEnvironmentVariable(name, out.Text, CORE_INTEROP_TEXT_SIZE);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    case 0x81fe2bb0: { // createShortcut
        const char* executable = a.String("executable");
        const char* parameter = a.String("parameter");
        const int32_t iconId = a.Int32("iconId");
        const char* location = a.String("location");
        const char* description = a.String("description");
        const char* iconLocation = a.String("iconLocation");
        const int32_t flags = a.Int32("flags");
        int64_t made = 0;
        if (a.Ok())
            made = Platform_CreateShortcut(executable, parameter, iconId, location, description, iconLocation, flags);
        return CoreInterop_ReturnBoolean(response, a, made);
    }
    case 0x943cbedd: { // removeCredential
        const char* target = a.String("target");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_SetCredential(target, nullptr, nullptr) : 0);
    }
    case 0x9a0cb4d9: { // setEnvironmentVariable
        const char* name = a.String("name");
        const char* value = a.String("value");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_SetEnvironmentVariable(name, value) : 0);
    }
    case 0xc153848c: // reboot
        return CoreInterop_ReturnBoolean(response, a, Platform_Reboot());
    case 0xcd62c621: { // preventSystemSleep
        const uint32_t prevent = a.Boolean("prevent");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_PreventSystemSleep(prevent ? 1 : 0) : 0);
    }
    case 0xcf618ab4: { // getWebCredential
        const int32_t type = a.Int32("accessType");
        const char* host = a.String("host");
        const char* realm = a.String("realm");
        CoreInteropText user, password;
        const int64_t found = a.Ok() && ValidWebType(type)
                                  ? Platform_GetWebCredential((uint32_t)type, host, realm, user.Text,
                                                              CORE_INTEROP_TEXT_SIZE, password.Text,
                                                              CORE_INTEROP_TEXT_SIZE)
                                  : 0;
        return ReturnCredential(a, response, found, user.Text, password.Text);
    }
    case 0xd3ee7032: { // getFileDataStore
        const char* path = a.String("path");
        return ReturnDataStore(a, response, path);
    }
    case 0xe18fbd97: // getUserCountry
        return ReturnPlatformText(a, response, Platform_GetUserCountry);
    case 0xe3b8dbed: { // removeShortcut
        const char* location = a.String("location");
        const char* description = a.String("description");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_RemoveShortcut(location, description) : 0);
    }
    case 0xe8cdf3b8: { // translateError
        const int32_t error = a.Int32("error");
        const char* text = a.Ok() ? Platform_TranslateError(error) : "";
        return CoreInterop_ReturnString(response, a, text ? text : "");
    }
    case 0xead8c82e: { // findProcess
        const char* path = a.String("path");
        int32_t pid = 0;
        if (a.Ok()) Platform_FindProcess(path, &pid);
        return CoreInterop_ReturnInt32(response, a, pid);
    }
    case 0xf3559519: { // shellOpen
        const char* path = a.String("path");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Platform_ShellOpen(path) : 0);
    }
    case 0xfb7dba32: // getSystemTheme
        return ReturnPlatformText(a, response, Platform_GetSystemTheme);
    case 0xfd77f8ad: { // setWebCredential
        const int32_t type = a.Int32("accessType");
        const char* host = a.String("host");
        const char* realm = a.String("realm");
        const char* user = a.String("username");
        const char* password = a.String("password");
        const bool run = a.Ok() && ValidWebType(type);
        return CoreInterop_ReturnBoolean(
            response, a, run ? Platform_SetWebCredential((uint32_t)type, host, realm, user, password) : 0);
    }
    default:
        return 0;
    }
}

int64_t Registry_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Registry", &method, &hash)) return 0;
    CoreInteropArgs a(request, "Registry", method);
    switch (hash) {
    case 0x176f146a: { // getInt32
        const char* view = a.String("view");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const int32_t defaultValue = a.Int32("defaultValue");
        uint32_t value = (uint32_t)defaultValue;
        if (a.Ok()) Registry_HelperGetInt32(view, type, key, name, (uint32_t)defaultValue, &value);
        return CoreInterop_ReturnInt32(response, a, (int32_t)value);
    }
    case 0x2694a7c4: { // deleteKey
        const char* view = a.String("view");
        const char* type = a.String("type");
        const char* key = a.String("key");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Registry_HelperDeleteKey(view, type, key) : 0);
    }
    case 0x38024e6f: { // setData
        const char* view = a.String("view");
        const char* security = a.String("security");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const char* value = a.String("value");
        int64_t stored = 0;
        if (a.Ok()) {
            uint8_t* bytes = nullptr;
            uint32_t length = 0, size = 0;
            if (CoreInterop_DecodeData(a, "value", value, &bytes, &length, &size))
                stored = Registry_HelperSetData(view, security, type, key, name, bytes, length);
            ApiGen_DeleteBase64DecodedBuffer(&bytes, &size);
        }
        return CoreInterop_ReturnBoolean(response, a, stored);
    }
    case 0x76f7b418: { // getString
        const char* view = a.String("view");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const char* defaultValue = a.String("defaultValue");
        CoreInteropText out;
        if (a.Ok()) Registry_HelperGetString(view, type, key, name, defaultValue, out.Text, CORE_INTEROP_TEXT_SIZE);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    case 0x7b8a7acb: { // setInt64
        const char* view = a.String("view");
        const char* security = a.String("security");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const int64_t value = a.Int64("value");
        return CoreInterop_ReturnBoolean(
            response, a, a.Ok() ? Registry_HelperSetInt64(view, security, type, key, name, (uint64_t)value) : 0);
    }
    case 0x837b451a: { // getInt64
        const char* view = a.String("view");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const int64_t defaultValue = a.Int64("defaultValue");
        uint64_t value = (uint64_t)defaultValue;
        if (a.Ok()) Registry_HelperGetInt64(view, type, key, name, (uint64_t)defaultValue, &value);
        return CoreInterop_ReturnInt64(response, a, (int64_t)value);
    }
    case 0x87dba765: { // setString
        const char* view = a.String("view");
        const char* security = a.String("security");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const char* value = a.String("value");
        return CoreInterop_ReturnBoolean(response, a,
                                         a.Ok() ? Registry_HelperSetString(view, security, type, key, name, value) : 0);
    }
    case 0xab93f6b2: { // getData
        const char* view = a.String("view");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const char* defaultValue = a.String("defaultValue");
        if (!a.Ok()) return CoreInterop_ReturnData(response, a, nullptr, 0);
        uint8_t* fallback = nullptr;
        uint32_t fallbackLength = 0, fallbackSize = 0;
        if (!CoreInterop_DecodeData(a, "defaultValue", defaultValue, &fallback, &fallbackLength, &fallbackSize))
            fallbackLength = 0;
        uint8_t* bytes = nullptr;
        int32_t length = 0;
        // A value that is not there hands back the default's bytes; null only when neither exists.
        Registry_HelperGetData(view, type, key, name, fallback, (int32_t)fallbackLength, &bytes, &length);
        const int64_t result = CoreInterop_ReturnData(response, a, bytes, (uint32_t)length);
        Registry_HelperReleaseData(view, type, key, name, fallback, (int32_t)fallbackLength, &bytes, &length);
        ApiGen_DeleteBase64DecodedBuffer(&fallback, &fallbackSize);
        return result;
    }
    case 0xc492adf1: { // deleteValue
        const char* view = a.String("view");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Registry_HelperDeleteValue(view, type, key, name) : 0);
    }
    case 0xdd35f2d5: { // keyExists
        const char* view = a.String("view");
        const char* type = a.String("type");
        const char* key = a.String("key");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Registry_HelperDoesExist(view, type, key) : 0);
    }
    case 0xef9e2bbb: { // setInt32
        const char* view = a.String("view");
        const char* security = a.String("security");
        const char* type = a.String("type");
        const char* key = a.String("key");
        const char* name = a.String("name");
        const int32_t value = a.Int32("value");
        return CoreInterop_ReturnBoolean(
            response, a, a.Ok() ? Registry_HelperSetInt32(view, security, type, key, name, (uint32_t)value) : 0);
    }
    default:
        return 0;
    }
}
