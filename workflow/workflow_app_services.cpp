// Services of the engine context: named trust and key stores (removal, JWS checks), the host's
// web request hooks in front of the HTTP pool, crash events and the expiry of old log files.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "core/certs/cert_store.h"
#include "core/certs/jws.h"
#include "core/formats/json.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "core/web/analytics.h"
#include "core/web/web_get_pool.h"
#include "workflow/workflow_app_internal.h"

namespace {

enum : int32_t { kStoreNameSize = 320 };

CertStoreInterface* NewReference(CertStoreInterface* store) {
    return store ? CertStoreInterface_AddRef(store) : nullptr;
}

// The table's store of that name, or a store that trusts nothing.
void AddNamedStore(CertStoreList* list, CertStoreTable* table, const char* name) {
    CertStoreInterface* store = nullptr;
    if (!table || !CertStoreTable_GetInterfaceHandle(table, name, &store) || !store) {
        Log_Error("Unable to find certificate store (%s)\n", name);
        CertStoreNull* none = nullptr;
        CertStoreNull_Create(&none);
        store = CertStoreNull_GetInterfaceHandle(none);
        CertStoreNull_Release(&none);
    }
    CertStoreList_Add(list, store);
    CertStoreInterface_Release(&store);
}

int64_t VerifyWithStore(const char* token, CertStoreInterface* store) {
    Dictionary* scratch = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&scratch);
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, scratch);
    const int64_t result = JWS_Decode(json, nullptr, store, token, static_cast<uint32_t>(strlen(token)), 1);
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    Dictionary_Release(&scratch);
    return result;
}

// Whether (device, inode) is a file this process holds open (the log it writes among them).
bool IsOpenHere(dev_t device, ino_t inode) {
    const int32_t fds = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0) return false;
    DIR* dir = fdopendir(fds);
    if (!dir) {
        close(fds);
        return false;
    }
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != 0 || fd == dirfd(dir)) continue;
        struct stat info;
        if (fstat(static_cast<int>(fd), &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == device &&
            info.st_ino == inode) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Birth time where the file system records one, else the modification time; false when neither
// can be read. A link is read as itself.
bool CreationTime(int32_t dir, const char* name, double* seconds, dev_t* device, ino_t* inode) {
    struct statx info;
    if (statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return false;
    if (!S_ISREG(info.stx_mode)) return false;
    *device = makedev(info.stx_dev_major, info.stx_dev_minor);
    *inode = info.stx_ino;
    if (info.stx_mask & STATX_BTIME)
        *seconds = static_cast<double>(info.stx_btime.tv_sec);
    else if (info.stx_mask & STATX_MTIME)
        *seconds = static_cast<double>(info.stx_mtime.tv_sec);
    else
        return false;
    return true;
}

} // namespace

// ---- Stores and signatures ----------------------------------------------------------------------

int64_t WorkflowApp_KeyStoreRemove(const char* name) {
    ASSERT_POINTER(name);
    CertStoreTable* table = Authenticate_GetKeyStoreTableHandle();
    return table ? CertStoreTable_Remove(table, name) : 0;
}

int64_t WorkflowApp_CertStoreRemove(const char* name) {
    ASSERT_POINTER(name);
    CertStoreTable* table = Authenticate_GetCertStoreTableHandle();
    return table ? CertStoreTable_Remove(table, name) : 0;
}

CertStoreInterface* WorkflowApp_InteropGetCertStore() {
    return GlobalWorkflowApp ? NewReference(GlobalWorkflowApp->InteropCertStore) : nullptr;
}

CertStoreInterface* WorkflowApp_DataStoreGetCertStore() {
    return GlobalWorkflowApp ? NewReference(GlobalWorkflowApp->DataStoreCertStore) : nullptr;
}

int64_t WorkflowApp_InteropReleaseCertStore(CertStoreInterface* store) {
    return store ? CertStoreInterface_Release(&store) : 0;
}

int64_t WorkflowApp_DataStoreReleaseCertStore(CertStoreInterface* store) {
    return store ? CertStoreInterface_Release(&store) : 0;
}

int64_t WorkflowApp_JwsVerifyStore(const char* token, CertStoreTable* table, const char* names) {
    ASSERT_POINTER(token);
    CertStoreList* list = nullptr;
    CertStoreList_Create(&list);
    if (!names || names[0] == 0) {
        AddNamedStore(list, table, "app");
    } else {
        const char* cursor = names;
        while (*cursor) {
            const char* comma = strchr(cursor, ',');
            const int32_t length = comma ? static_cast<int32_t>(comma - cursor) : static_cast<int32_t>(strlen(cursor));
            char name[kStoreNameSize];
            String_CopyLengthSafe(name, sizeof(name), cursor, length);
            AddNamedStore(list, table, name);
            if (!comma) break;
            cursor = comma + 1;
            while (*cursor == ' ' || *cursor == '\t') cursor++;
        }
    }
    CertStoreInterface* store = CertStoreList_GetInterfaceHandle(list);
    const int64_t result = VerifyWithStore(token, store);
    CertStoreInterface_Release(&store);
    CertStoreList_Release(&list);
    return result;
}

int64_t WorkflowApp_JwsVerifyCertStore(const char* token, const char* storeNames) {
    return WorkflowApp_JwsVerifyStore(token, Authenticate_GetCertStoreTableHandle(), storeNames);
}

int64_t WorkflowApp_JwsVerifyKeyStore(const char* token, const char* storeNames) {
    return WorkflowApp_JwsVerifyStore(token, Authenticate_GetKeyStoreTableHandle(), storeNames);
}

int64_t WorkflowApp_JwsVerifyKey(const char* token, const char* keyText) {
    ASSERT_POINTER(token);
    ASSERT_POINTER(keyText);
    CertStoreKey* key = nullptr;
    CertStoreKey_Create(&key);
    int64_t result = 0;
    if (CertStoreKey_Decode(key, keyText)) {
        CertStoreInterface* store = CertStoreKey_GetInterfaceHandle(key);
        result = VerifyWithStore(token, store);
        CertStoreInterface_Release(&store);
    }
    CertStoreKey_Release(&key);
    return result;
}

int64_t WorkflowApp_SetSecurityEnabled(uint32_t flag) {
    return Authenticate_SetEnabled(flag ? 1 : 0);
}

int64_t WorkflowApp_GetSecurityEnabled(uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = Authenticate_Enabled() ? 1 : 0;
    return 1;
}

// ---- Web requests -------------------------------------------------------------------------------

int64_t WorkflowApp_SetWebRequestHandler(WorkflowAppWebRequestFunc add, WorkflowAppWebRequestFunc remove) {
    WorkflowApp* app = GlobalWorkflowApp;
    ASSERT_POINTER(app);
    // A pair or nothing: a request filed by one hook must be withdrawn by its partner.
    if ((add == nullptr) != (remove == nullptr)) return 0;
    app->WebRequestAdd = add;
    app->WebRequestRemove = remove;
    return 1;
}

int64_t WorkflowApp_WebGetRequestAdd(WebGetRequest* request) {
    ASSERT_POINTER(request);
    WorkflowApp* app = GlobalWorkflowApp;
    if (app && app->WebRequestAdd && app->WebRequestAdd(request)) return 1;
    return WebGetPool_RequestAdd(request) ? 1 : 0;
}

int64_t WorkflowApp_WebGetRequestRemove(WebGetRequest* request) {
    ASSERT_POINTER(request);
    WorkflowApp* app = GlobalWorkflowApp;
    if (app && app->WebRequestRemove && app->WebRequestRemove(request)) return 1;
    return WebGetPool_RequestRemove(request) ? 1 : 0;
}

// ---- Crash events -------------------------------------------------------------------------------

int64_t WorkflowApp_FillCrashEvent(const char* format, Dictionary* event) {
    ASSERT_POINTER(event);
    Dictionary* macros = GlobalWorkflowApp ? GlobalWorkflowApp->Macros : nullptr;
    return Analytics_FillCrashEvent(format, WorkflowApp_Version, event, macros);
}

int64_t WorkflowApp_SendCrashEvent(const char* format, Dictionary* event) {
    ASSERT_POINTER(event);
    if (!Analytics_IsEnabled() || !Analytics_IsCrashDumpEnabled()) return 1;
    WorkflowApp_FillCrashEvent(format, event);
    return Analytics_SendEvent("CrashDump", event);
}

int64_t WorkflowApp_SendCrashEventInterop(const char* format, const char* jsonText) {
    ASSERT_POINTER(jsonText);
    Dictionary* parsed = nullptr;
    JSON* json = nullptr;
    Dictionary_Create(&parsed);
    JSON_Create(&json);
    JSON_SetDictionaryHandle(json, parsed);
    int64_t result = JSON_LoadBuffer(json, jsonText, static_cast<uint32_t>(strlen(jsonText)));
    JSON_SetDictionaryHandle(json, nullptr);
    JSON_Release(&json);
    if (result) {
        Dictionary* event = nullptr;
        Dictionary_SkipRoot(parsed, &event);
        result = WorkflowApp_SendCrashEvent(format, event ? event : parsed);
    }
    Dictionary_Release(&parsed);
    return result;
}

// ---- Log expiry ---------------------------------------------------------------------------------

int64_t WorkflowApp_ExpireLogsAt(const char* maxDays, double now) {
    if (!(Debug_Flags() & DEBUG_FLAG_PER_DAY) || !maxDays || maxDays[0] == 0) return 0;
    char* end = nullptr;
    errno = 0;
    const long long days = strtoll(maxDays, &end, 10);
    if (end == maxDays || *end != 0 || errno != 0 || days < 0) return 0;
    // Counted in 64 bits: a large day count keeps every file rather than wrapping round to a
    // negative age that would delete them all. Past this many days nothing can be old enough.
    if (days > 1000000000LL) return 1;
    const double minimumAge = static_cast<double>(days * 86400LL + 1);

    char current[WORKFLOWAPP_PATH_SIZE];
    Log_GetFilename(current, sizeof(current));
    if (current[0] == 0) return 0;
    char directory[WORKFLOWAPP_PATH_SIZE];
    const char* slash = strrchr(current, '/');
    const char* base = slash ? slash + 1 : current;
    if (slash == current)
        String_CopyLength(directory, "/", sizeof(directory));
    else if (slash)
        String_CopyLengthSafe(directory, sizeof(directory), current, static_cast<int32_t>(slash - current));
    else
        String_CopyLength(directory, ".", sizeof(directory));
    char pattern[WORKFLOWAPP_PATH_SIZE];
    String_CopyLength(pattern, base, sizeof(pattern));
    if (char* dot = strrchr(pattern, '.')) *dot = 0;
    String_CatLength(pattern, "*.log", sizeof(pattern));

    const int32_t dir = open(directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return 0;
    const int32_t walk = dup(dir);
    DIR* listing = walk >= 0 ? fdopendir(walk) : nullptr;
    if (!listing) {
        if (walk >= 0) close(walk);
        close(dir);
        return 0;
    }
    while (dirent* entry = readdir(listing)) {
        const char* name = entry->d_name;
        if (!String_CompareWildcard(name, pattern) || String_Compare(name, base)) continue;
        double created = 0;
        dev_t device = 0;
        ino_t inode = 0;
        if (!CreationTime(dir, name, &created, &device, &inode)) continue;
        if (now - created < minimumAge) continue;
        // The log this process writes is in use, however old its file.
        if (IsOpenHere(device, inode)) continue;
        Log_Debug("Removing expired log - %s/%s\n", directory, name);
        unlinkat(dir, name, 0);
    }
    closedir(listing);
    close(dir);
    return 1;
}

int64_t WorkflowApp_ExpireLogs() {
    char maxDays[32] = "";
    CommandLine_GetFieldByName(nullptr, "maxdays", maxDays, sizeof(maxDays));
    return WorkflowApp_ExpireLogsAt(maxDays, Time_GetCurrentEncoded());
}
