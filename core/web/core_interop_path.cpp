// The script class for files and paths: every file operation goes through the path layer, which
// acts on descriptors and keeps the modes it creates private.
#include <cerrno>
#include <cstdint>

#include "core/formats/interop_request.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/platform/path.h"
#include "core/runtime/time.h"
#include "core/web/core_interop.h"
#include "core/web/core_interop_internal.h"

namespace {

// Operations of the form (path, out text, capacity).
typedef int64_t (*PathTextFunc)(const char* path, char* out, int32_t size);

// `names` is true for a text that names a file of this machine (a resolved path, a file URL): one
// naming a location without its folder answers "" with its line. Texts only taken apart are not.
int64_t ReturnPathText(Dictionary* request, Dictionary* response, const char* method, const char* name,
                       PathTextFunc function, bool names = false) {
    CoreInteropArgs a(request, "Path", method);
    const char* path = names ? a.Path(name) : a.String(name);
    CoreInteropText out;
    if (a.Go()) function(path, out.Text, CORE_INTEROP_TEXT_SIZE);
    return CoreInterop_ReturnString(response, a, out.Text);
}

// The methods that answer the attempt's last error: a refused path is an invalid argument.
int64_t ReturnError(Dictionary* response, const CoreInteropArgs& a, PlatformErrorCode error) {
    if (a.Refused()) error = PLATFORM_ERROR_ERRNO_BASE + EINVAL;
    return CoreInterop_ReturnInt32(response, a, error);
}

} // namespace

int64_t Path_Invoke(void*, Dictionary* request, Dictionary* response) {
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!ApiGen_GetMethod(request, "Path", &method, &hash)) return 0;
    CoreInteropArgs a(request, "Path", method);
    PlatformErrorCode error = 0;
    switch (hash) {
    case 0x31f5c758: // pathResolve
        return ReturnPathText(request, response, method, "path", Path_Resolve, true);
    case 0x33014eb3: { // fileErase
        const char* path = a.Path("path");
        // A refusal without a code (a directory named as a file) must not read as success.
        if (a.Go() && !Path_EraseFile(path, 1, &error) && error == 0)
            error = PLATFORM_ERROR_ERRNO_BASE + EISDIR;
        return ReturnError(response, a, error);
    }
    case 0x42cacdf8: { // directoryIsEmpty
        const char* path = a.Path("path");
        return CoreInterop_ReturnBoolean(response, a, a.Go() ? Path_IsDirectoryEmpty(path) : 0);
    }
    case 0x498eae40: // pathConvertToUrl
        return ReturnPathText(request, response, method, "path", Path_ConvertToURL, true);
    case 0x4b8e3623: { // pathParseExtension
        const char* path = a.String("path");
        const uint32_t includeDot = a.Boolean("includeDot");
        CoreInteropText out;
        if (a.Ok()) Path_ParseExtension(path, includeDot ? 1 : 0, out.Text, CORE_INTEROP_TEXT_SIZE);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    case 0x4c305d0c: { // directoryCreate
        const char* path = a.Path("path");
        if (a.Go()) Path_CreateDirectory(path, 0, &error);
        return ReturnError(response, a, error);
    }
    case 0x51af0934: // pathParseNameWithoutExtension
        return ReturnPathText(request, response, method, "path", Path_ParseFilenameWithoutExtension);
    case 0x5e9b09cf: // pathConvertFromUrl
        return ReturnPathText(request, response, method, "url", Path_ConvertFromURL);
    case 0x64e3f953: { // setGroup
        const char* path = a.Path("path");
        const char* type = a.String("type");
        return CoreInterop_ReturnBoolean(response, a, a.Go() ? Path_SetGroup(path, type) : 0);
    }
    case 0x7179db47: { // directoryExists
        const char* path = a.Path("path");
        return CoreInterop_ReturnBoolean(response, a, a.Go() ? Path_DirectoryExists(path) : 0);
    }
    case 0x7f39d91b: { // fileGetSize
        const char* path = a.Path("path");
        uint64_t size = 0;
        if (a.Go()) Path_GetFileSize(path, &size);
        return CoreInterop_ReturnInt64(response, a, (int64_t)size);
    }
    case 0x8fa083df: { // fileCopy
        const char* source = a.Path("sourceFilename");
        const char* target = a.Path("targetFilename");
        const uint32_t failIfExists = a.Boolean("failIfExists");
        int64_t copied = 0;
        if (a.Go()) copied = Path_CopyFile(source, target, failIfExists, 1, &error, nullptr, nullptr);
        return CoreInterop_ReturnBoolean(response, a, copied);
    }
    case 0x92414f8e: // pathParseDirectory
        return ReturnPathText(request, response, method, "path", Path_ParseDirectory);
    case 0x95883f2d: { // fileExists
        const char* path = a.Path("path");
        return CoreInterop_ReturnBoolean(response, a, a.Go() ? Path_Exists(path) : 0);
    }
    case 0x9c69d6b3: // pathParseName
        return ReturnPathText(request, response, method, "path", Path_ParseFilename);
    case 0xb4d59855: { // getFreeDiskSpace
        const char* path = a.Path("path");
        uint64_t bytes = 0;
        if (a.Go()) Platform_GetFreeDiskSpace(path, &bytes);
        return CoreInterop_ReturnInt64(response, a, (int64_t)bytes);
    }
    case 0xc05cda25: { // pathFixSlash
        CoreInteropText out;
        a.CopyString("path", out.Text);
        const uint32_t trailingSlash = a.Boolean("trailingSlash");
        if (a.Ok()) Path_FixSlash(out.Text, CORE_INTEROP_TEXT_SIZE, trailingSlash ? 1 : 0);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    case 0xcc2a2f3f: { // directoryErase
        const char* path = a.Path("path");
        if (a.Go() && !Path_EraseDirectory(path, 1, &error) && error == 0)
            error = PLATFORM_ERROR_ERRNO_BASE + ENOTDIR;
        return ReturnError(response, a, error);
    }
    case 0xd2baa0b9: { // directoryGetSize
        const char* path = a.Path("path");
        const char* callbackId = a.String("callbackId");
        return CoreInterop_ReturnBoolean(response, a, a.Go() ? Path_GetDirectorySize(path, callbackId) : 0);
    }
    case 0xe6cc6031: { // getCreationTime
        const char* path = a.Path("path");
        EncodedTime time = 0;
        if (a.Go() && !Path_GetCreationTime(path, &time, &error)) time = 0;
        return CoreInterop_ReturnFloat64(response, a, time);
    }
    case 0xead94b39: { // pathCompare
        const char* path = a.String("path");
        const char* comparePath = a.String("comparePath");
        const uint32_t ignoreCase = a.Boolean("ignoreCase");
        return CoreInterop_ReturnBoolean(response, a,
                                         a.Ok() ? Path_Compare(path, comparePath, ignoreCase ? 1 : 0) : 0);
    }
    case 0xeb30fe54: { // getModifiedTime
        const char* path = a.Path("path");
        EncodedTime time = 0;
        if (a.Go() && !Path_GetModifiedTime(path, &time, &error)) time = 0;
        return CoreInterop_ReturnFloat64(response, a, time);
    }
    default:
        return 0;
    }
}
