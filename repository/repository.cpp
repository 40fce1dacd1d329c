// The repository's life, settings, queries and its pass: state flags recomputed from its parts,
// timers and stall detection, then one unit of refresh, synchronisation or erase work.
#include "repository/repository.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "core/formats/url.h"
#include "core/linux/platform.h"
#include "core/linux/platform_document.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/linux/platform_tree.h"
#include "core/platform/path.h"
#include "core/runtime/app_config_keys.h"
#include "core/runtime/bit_field.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/log.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/alias.h"
#include "repository/catalog.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/linux/storage_file_os.h"
#include "repository/repository_internal.h"
#include "repository/storage.h"
#include "repository/storage_cleanup.h"
#include "repository/storage_copy.h"
#include "repository/storage_delta.h"
#include "repository/storage_file.h"
#include "repository/storage_record.h"
#include "repository/storage_request.h"

namespace {

constexpr uint32_t kPhases =
    REPOSITORY_STATEFLAG_SYNC | REPOSITORY_STATEFLAG_REFRESH | REPOSITORY_STATEFLAG_ERASE;
constexpr int32_t kPathSize = 1024;
// Where the manifest an update replaced stands (Repository.Replaced).
enum : uint32_t {
    kReplacedNone = 0,   // none known
    kReplacedLeft = 1,   // left by a cut run: its cleanup is finished before anything else is dropped
    kReplacedOnDisk = 2, // on disk, nothing more to erase from it: removed when the work's cleanup ends
    kReplacedKept = 3,   // kept by this sync before its save: removed when its cleanup ends
    kReplacedHeld = 4,   // not kept: what holds its name is not the repository's own; the files the
                         // update drops are recorded by identity in the record of copies instead
};

int64_t PrintFallback(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

void Prepare(Repository* r) {
    ClassPrint_Prepare(&r->Print, r, "Repository", PrintFallback);
}

int64_t DeleteHandle(void** handle) {
    return Repository_Delete(reinterpret_cast<Repository**>(handle));
}

// What a text member read whole gave: a cut address, path or id would name something else.
enum class Text { Absent, Found, TooLong };

Text Whole(const char* text, char* buffer, int32_t size) {
    buffer[0] = 0;
    if (!text) return Text::Absent;
    if (strlen(text) >= (size_t)size) return Text::TooLong;
    String_CopyLength(buffer, text, size);
    return Text::Found;
}

// A string member (a member of another type counts as absent).
Text ReadString(Dictionary* dict, const char* key, char* buffer, int32_t size) {
    buffer[0] = 0;
    uint32_t type = 0;
    const char* text = nullptr;
    if (!dict || Dictionary_GetTypeByKey(dict, key, &type) != 1 || type != DICTIONARY_TYPE_STRING ||
        !Dictionary_GetStringPtrByKey(dict, key, &text))
        return Text::Absent;
    return Whole(text, buffer, size);
}

// A string member only; one too long for the buffer counts as absent rather than cut.
bool GetString(Dictionary* dict, const char* key, char* buffer, int32_t size) {
    return ReadString(dict, key, buffer, size) == Text::Found;
}

// Prints into the buffer only what fits whole (else leaves it empty).
bool PrintWhole(char* buffer, int32_t size, const char* format, ...) {
    va_list args, measure;
    va_start(args, format);
    va_copy(measure, args);
    const int32_t length = String_GetVPrintLength(format, measure);
    va_end(measure);
    const bool fits = length >= 0 && length < size;
    if (fits) String_VPrint(buffer, size, format, args);
    else buffer[0] = 0;
    va_end(args);
    return fits;
}

bool GetBool(Dictionary* dict, const char* key, uint32_t fallback) {
    uint32_t value = fallback;
    if (!dict || !Dictionary_GetBooleanByKey(dict, key, &value)) return fallback != 0;
    return value != 0;
}

// A whole number of the dictionary, else of the engine configuration's dotted path.
bool GetCount(Dictionary* dict, const char* key, Dictionary* app, const char* path, int32_t* value) {
    *value = 0;
    double number = 0;
    uint32_t type = 0;
    if (dict && Dictionary_GetTypeByKey(dict, key, &type) && Dictionary_GetFloat64ByKey(dict, key, &number)) {
        *value = number < 0 ? 0 : number > 1048576 ? 1048576 : (int32_t)number;
        return true;
    }
    if (app &&
        (Dictionary_GetFloat64ByPath(app, path, &number) || Dictionary_GetFloat64ByKey(app, path, &number))) {
        *value = number < 0 ? 0 : number > 1048576 ? 1048576 : (int32_t)number;
        return true;
    }
    return false;
}

Text AppString(Dictionary* app, const char* path, char* buffer, int32_t size) {
    buffer[0] = 0;
    const char* text = nullptr;
    if (!app || !(Dictionary_GetStringPtrByPath(app, path, &text) == 1 ||
                  Dictionary_GetStringPtrByKey(app, path, &text) == 1))
        return Text::Absent;
    return Whole(text, buffer, size);
}

bool HasPrefix(const char* text, const char* prefix) {
    return String_CompareBeginningWithoutCase(text, prefix) != 0;
}

// Documents over https skip their signature while authentication is off; every other location
// follows the process-wide switch.
uint32_t Verify(Repository* r, const char* url) {
    if (HasPrefix(url, "https:") && !r->Authenticate) return 0;
    return Authenticate_Enabled() ? 1u : 0u;
}

bool LocationToUrl(const char* location, char* url, int32_t size) {
    if (HasPrefix(location, "file:") || HasPrefix(location, "http:") || HasPrefix(location, "https:"))
        return PrintWhole(url, size, "%s", location);
    return PrintWhole(url, size, "file://%s", location);
}

bool IsWebAddress(const char* url) {
    return HasPrefix(url, "http://") || HasPrefix(url, "https://");
}

} // namespace

int64_t Repository_CatalogManifestUrl(const char* catalog, const char* location, char* url, int32_t size) {
    ASSERT_POINTER(catalog);
    ASSERT_POINTER(location);
    ASSERT_POINTER(url);
    if (size < 1) return 0;
    url[0] = 0;
    if (!location[0]) return 0;
    size_t i = 0;
    if ((location[0] >= 'a' && location[0] <= 'z') || (location[0] >= 'A' && location[0] <= 'Z'))
        for (i = 1; location[i] && (isalnum((unsigned char)location[i]) || strchr("+-.", location[i])); i++) {
        }
    const bool scheme = i > 0 && location[i] == ':';
    if (scheme) {
        if (!IsWebAddress(location) || strlen(location) >= (size_t)size) return 0;
        String_CopyLength(url, location, size);
    } else if (!URL_Join(catalog, location, url, size) || strlen(url) + 1 >= (size_t)size) {
        url[0] = 0;
        return 0;
    }
    // What the join made is held to the same rule: the reference may not leave the web.
    if (IsWebAddress(url)) return 1;
    url[0] = 0;
    return 0;
}

int64_t Repository_IsCatalogId(const char* id) {
    ASSERT_POINTER(id);
    if (!id[0] || !strcmp(id, ".") || !strcmp(id, "..")) return 0;
    for (const char* p = id; *p; p++) {
        const char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-'))
            return 0;
    }
    return 1;
}

int64_t Repository_CatalogAddress(const char* base, const char* remoteId, const char* localId, char* url,
                                  int32_t size) {
    ASSERT_POINTER(base);
    ASSERT_POINTER(remoteId);
    ASSERT_POINTER(url);
    if (size < 1) return 0;
    url[0] = 0;
    const bool delta = localId && localId[0];
    if (!Repository_IsCatalogId(remoteId) || (delta && !Repository_IsCatalogId(localId))) return 0;
    const size_t length = strlen(base);
    const char* slash = length && base[length - 1] == '/' ? "" : "/";
    if (delta) return PrintWhole(url, size, "%s%s%s/%s/catalog.json", base, slash, remoteId, localId) ? 1 : 0;
    return PrintWhole(url, size, "%s%s%s/catalog.json", base, slash, remoteId) ? 1 : 0;
}

namespace {

bool IsLocalMetaLoaded(Repository* r) {
    return !r->LocalMetaConfigured ||
           (MetaFile_IsLoadComplete(r->LocalMeta) && !MetaFile_IsAlive(r->LocalMeta));
}

// A save held while the copy runs (SyncWork) keeps the manifest busy, not unloaded.
bool IsRemoteMetaLoaded(Repository* r) {
    return MetaFile_IsLoadComplete(r->RemoteMeta) &&
           (MetaFile_IsOk(r->RemoteMeta) || (r->SaveHeld == 1 && MetaFile_IsAlive(r->RemoteMeta)));
}

bool ResumeDue(double resume) {
    return resume <= Time_GetCurrent();
}

void ForEachStorage(Repository* r, int64_t (*fn)(Storage*)) {
    fn(r->Local);
    fn(r->Pending);
    for (RepositoryRemote* m = r->Remotes; m; m = m->Next) fn(m->Member);
}

void SetStoragesActive(Repository* r, uint32_t active) {
    Storage_SetActive(r->Local, active);
    Storage_SetActive(r->Pending, active);
    for (RepositoryRemote* m = r->Remotes; m; m = m->Next) Storage_SetActive(m->Member, active);
}

void WireCleanup(Repository* r, StorageCleanup** cleanup, Storage* storage, bool pending) {
    if (*cleanup) {
        StorageCleanup_Shutdown(*cleanup);
        StorageCleanup_Release(cleanup);
    }
    StorageCleanup_Create(cleanup);
    StorageCleanup_SetStorageHandle(*cleanup, storage);
    StorageCleanup_SetEventQueueHandle(*cleanup, r->Queue);
    // A cleanup made anew (a reset) signals the thread the repository runs on, as the first did.
    if (r->ThreadId) StorageCleanup_SetThreadId(*cleanup, r->ThreadId);
    StorageCleanup_SetErrorCallback(
        *cleanup, r, pending ? Repository_CleanupPendingErrorCallback : Repository_CleanupErrorCallback);
}

// ---- The sweep of the installed files ------------------------------------------------------------
//
// An update checks that the files of every piece it keeps are in place; those checks need nothing of
// the new manifest, so the status of every file the installed one lists is taken while it loads.
// The verdicts are this sync's alone: dropped when it ends, whatever its end, and when anything
// they depend on is reset; its copy's run takes them at its start, and a start after that has none.

bool ConfigureLocal(Repository* r);
void BindLocal(Repository* r);

// Stops the sweep, the one ahead of the start and the one its copy runs with (waiting for what
// their tasks hold), and lets them go.
void DropSweep(Repository* r) {
    r->SweepWanted = 0;
    for (StorageFileSweep** sweep : {&r->Sweep, &r->Sweeping}) {
        if (!*sweep) continue;
        StorageFile_SweepStop(*sweep);
        StorageFile_SweepRelease(sweep);
    }
}

// Once the bytes of an ordinary update's manifest are in, beside their parse (see SweepWanted): not
// for a first installation (nothing is kept),
// nor for a repair (every file is read back), nor where no piece is kept by the installed manifest.
// The installation's storage is set up as the refresh set it up; the start sets it up again, and
// the verdicts serve only where nothing they were judged by has changed.
void StartSweep(Repository* r) {
    DropSweep(r);
    char localId[REPOSITORY_REMOTE_ID_SIZE];
    Repository_GetLocalId(r, localId, (int32_t)sizeof(localId));
    if (!localId[0] || r->UnfinishedFound || !r->MaskOn || !GetBool(r->Config, "autoMask", 1) ||
        !r->LocalMetaConfigured || !IsLocalMetaLoaded(r) || !MetaFile_IsOk(r->LocalMeta) || !ConfigureLocal(r))
        return;
    BindLocal(r);
    StorageFile_SweepStart(r->Local, r->LocalMeta, &r->Sweep);
}

void ResetParts(Repository* r, bool documents) {
    DropSweep(r);
    if (documents) {
        Alias_Reset(r->AliasDoc);
        Catalog_Reset(r->CatalogDoc);
        // The configured remote id is read again by the refresh, as the alias it stands for is.
        r->RemoteId[0] = 0;
        MetaFile_Reset(r->LocalMeta);
        MetaFile_Reset(r->RemoteMeta);
        MetaFile_Reset(r->ReplacedMeta);
        r->Replaced = kReplacedNone;
        r->ReplacedFound = 0;
        r->ReplacedChecked = 0;
        r->ReplacedUnread = 0;
        r->ReplacedErrors = 0;
        r->ReplacedResume = 0;
        r->ReplacedIdentity = 0;
        r->UnfinishedFound = 0;
        r->KeptLeft = 0;
    }
    r->KeptErrors = 0;
    r->KeptResume = 0;
    if (!StorageCopy_IsAlive(r->Copy)) StorageCopy_Reset(r->Copy);
    if (!StorageCopy_IsAlive(r->ApplyJob)) StorageCopy_Reset(r->ApplyJob);
    // A cleanup keeps its completion: a new phase gets fresh ones.
    WireCleanup(r, &r->LocalCleanup, r->Local, false);
    WireCleanup(r, &r->PendingCleanup, r->Pending, true);
    Storage_Reset(r->Local);
    Storage_Reset(r->Pending);
    r->PendingConfigured = 0;
    StorageDelta_Reset(r->Delta);
    // The old remote storages are unbound by the reset: the next synchronisation configures its own.
    Repository_RemoteListFree(r);
    r->WorkStarted = 0;
    r->StraySwept = 0;
}

// ---- Local manifest file erase ------------------------------------------------------------------

// The directory part and the leaf of a path ("" directory for a bare name).
void SplitPath(const char* path, char* directory, int32_t size, const char** leaf) {
    const char* slash = strrchr(path, '/');
    if (!slash) {
        String_CopyLength(directory, ".", size);
        *leaf = path;
        return;
    }
    const int32_t length = slash == path ? 1 : (int32_t)(slash - path);
    String_CopyLengthSafe(directory, size, path, length);
    *leaf = slash + 1;
}

// Erases the manifest file; its directory goes too when it is emptied and lies strictly inside the
// installation, so that erasing never removes the local path itself or anything above it.
int32_t EraseMetaFile(Repository* r) {
    char directory[kPathSize];
    const char* leaf = nullptr;
    SplitPath(r->MetaFilePath, directory, (int32_t)sizeof(directory), &leaf);
    int32_t fd = -1;
    if (!Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, directory, 1, &fd, nullptr))
        return Platform_GetLastError();
    if (!Platform_TreeDeleteFile(fd, leaf)) {
        const int32_t error = Platform_GetLastError();
        Platform_Close(fd);
        return Platform_ErrorMissing(error) ? 0 : error;
    }
    Platform_Close(fd);
    char local[kPathSize];
    Repository_GetLocalPath(r, local, (int32_t)sizeof(local));
    size_t n = strlen(local);
    while (n > 1 && local[n - 1] == '/') local[--n] = 0;
    if (n == 0 || strncmp(directory, local, n) != 0 || directory[n] != '/' || strstr(directory + n, "/..") ||
        strstr(directory + n, "/./"))
        return 0;
    char parent[kPathSize];
    const char* name = nullptr;
    SplitPath(directory, parent, (int32_t)sizeof(parent), &name);
    if (Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, parent, 1, &fd, nullptr)) {
        Platform_TreeChangeMode(fd, name, 0700);
        if (Platform_TreeRemoveDirectory(fd, name))
            Repository_VerboseLog(r, 0, "Collapse directory (%s)", directory);
        Platform_Close(fd);
    }
    return 0;
}

// ---- The installation's own names ----------------------------------------------------------------------

// The local manifest's name below the installation's folder, where it lies there (as written, or
// once links are followed); else false and an empty name.
bool KeptName(Repository* r, char* kept, int32_t size) {
    kept[0] = 0;
    char local[kPathSize], root[kPathSize], manifest[kPathSize];
    if (!r->MetaFilePath[0] || !Repository_GetLocalPath(r, local, (int32_t)sizeof(local)) || !local[0] ||
        !Path_Resolve(local, root, (int32_t)sizeof(root) - 1) || !Path_Resolve(r->MetaFilePath, manifest, (int32_t)sizeof(manifest)))
        return false;
    Path_FixSlash(root, (int32_t)sizeof(root), 1);
    const size_t length = strlen(root);
    if (strncmp(manifest, root, length) == 0 && manifest[length])
        return PrintWhole(kept, size, "%s", manifest + length);
    return StorageFileOS_NameBelow(root, manifest, kept, (size_t)size) != 0;
}

// The repository's mark in the installation's record of copies: its name and its manifest's
// place, hashed (FNV-1a) into 16 hexadecimal digits.
void OwnerMark(Repository* r, char* mark, int32_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (const char* text : {(const char*)r->Name, "\n", (const char*)r->MetaFilePath})
        for (const char* p = text; *p; p++) hash = (hash ^ (uint8_t)*p) * 1099511628211ull;
    String_Print(mark, size, "%016llx", (unsigned long long)hash);
}

// Hands the local storage the installed manifest, the repository's mark and the names it keeps.
void BindLocal(Repository* r) {
    StorageCleanup_SetInstalled(r->Local, r->LocalMeta);
    char mark[24], kept[kPathSize];
    OwnerMark(r, mark, (int32_t)sizeof(mark));
    KeptName(r, kept, (int32_t)sizeof(kept));
    StorageCleanup_SetOwner(r->Local, mark, kept);
}

// ---- The replaced manifest ----------------------------------------------------------------------------

// An update saves its manifest before the files it drops go, so that a run stopped earlier finds
// them all listed. The manifest it replaced lies beside the new one from before that save until
// the cleanup ends: a run cut in between leaves it, and the next run finishes that cleanup from
// what it lists before it calls the installation level.
bool ReplacedName(const Repository* r, char* path, int32_t size) {
    return r->MetaFilePath[0] && PrintWhole(path, size, "%s.replaced", r->MetaFilePath);
}

int32_t LastErrorOr(int32_t fallback) {
    const int32_t error = Platform_GetLastError();
    return error ? error : PLATFORM_ERROR_ERRNO_BASE + fallback;
}

// ---- What the repository keeps beside its manifest -----------------------------------------------------
// The manifest an update replaced and the scratch names of the repository's saves are its own by
// a record beside the manifest, never by their names: another user may put a file at any free name
// of a shared folder, and an earlier version may have installed one there. The record is
// "<manifest><copies' suffix>", a private file of the effective user at a name no manifest can
// give, and the repository's by its first entry alone, never by that name or its mode: the entry
// names the very file that holds it (StorageRecord_Make), so that a stale file at the
// name (a backup copy, a hard link, the user's own) proves nothing. Each entry after it is
// "<device>:<inode>:<proof> <name>" and a NUL, <name> in the manifest's folder and <proof> as
// StorageFileOS_SameFile takes it. An entry of inode 0 reserves a scratch name before its file is
// made there exclusively, so that what a kill leaves under it is found. A record an earlier version
// made has no first entry: it is taken, as it is, only while every entry in it reads as one of
// ours; anything else at the name is another's, named once and never read, written or removed.

// The suffix of the local storage's copies, as the storage reads it.
void CopySuffix(Repository* r, char* suffix, int32_t size) {
    char configured[32];
    Dictionary* local = nullptr;
    String_CopyLength(suffix, ".quarvpartial", size);
    if (Dictionary_GetDictionaryByKey(r->Config, "local", &local) && local &&
        GetString(local, "partialExtension", configured, (int32_t)sizeof(configured)))
        String_CopyLength(suffix, configured, size);
    else if (r->AppConfig && Dictionary_GetStringByPath(r->AppConfig, kAppConfigStoragePartialExtension, configured,
                                                        (int32_t)sizeof(configured)))
        String_CopyLength(suffix, configured, size);
}

// The manifest's folder, open; *leaf points at the manifest's name in its path. 0 or the errno value.
int32_t OpenManifestFolder(Repository* r, int32_t* folder, const char** leaf) {
    char directory[kPathSize];
    SplitPath(r->MetaFilePath, directory, (int32_t)sizeof(directory), leaf);
    const char* same = nullptr;
    return StorageFileOS_OpenParent(directory, *leaf, 0, folder, &same);
}

// The record's name in the manifest's folder.
bool KeptRecordName(Repository* r, const char* leaf, char* name, int32_t size) {
    char suffix[32];
    CopySuffix(r, suffix, (int32_t)sizeof(suffix));
    return PrintWhole(name, size, "%s%s", leaf, suffix);
}

// What opening or removing one of the names kept beside the manifest answers where another holds
// it: another's file (unreadable to us, or not ours by owner or mode), a link, a folder.
bool HeldByAnother(int32_t error) {
    return error == EPERM || error == EEXIST || error == EACCES || error == ELOOP || error == EISDIR;
}

// The record's whole path, for the texts that name it.
bool KeptRecordPath(Repository* r, char* path, int32_t size) {
    char directory[kPathSize], record[kPathSize];
    const char* leaf = nullptr;
    SplitPath(r->MetaFilePath, directory, (int32_t)sizeof(directory), &leaf);
    return KeptRecordName(r, leaf, record, (int32_t)sizeof(record)) &&
           PrintWhole(path, size, "%.*s%s", (int)(leaf - r->MetaFilePath), r->MetaFilePath, record);
}

struct KeptEntry {
    uint64_t Device, Inode, Proof;
    char Name[kPathSize];
};

// The bound of a record of ours; a larger one is read to it.
constexpr uint32_t kKeptBound = 64 * 1024;

// One entry of the record (its text up to its NUL); false for what no entry of ours reads as.
bool ParseKept(const char* p, KeptEntry* e) {
    uint64_t numbers[3] = {};
    bool ok = true;
    for (int i = 0; i < 3 && ok; i++) {
        ok = *p >= '0' && *p <= '9';
        for (; ok && *p >= '0' && *p <= '9'; p++) {
            ok = numbers[i] <= (UINT64_MAX - 9) / 10;
            numbers[i] = numbers[i] * 10 + (uint64_t)(*p - '0');
        }
        ok = ok && *p++ == (i < 2 ? ':' : ' ');
    }
    if (!ok || !*p || strchr(p, '/') || !PrintWhole(e->Name, (int32_t)sizeof(e->Name), "%s", p)) return false;
    e->Device = numbers[0];
    e->Inode = numbers[1];
    e->Proof = numbers[2] == STORAGE_FILE_OS_UNPROVEN ? 0 : numbers[2];
    return true;
}

// Whether the open file, without the first entry of a record of ours, is one an earlier version
// made: no larger than ours are, every entry in it one of ours, and a last entry cut while it was
// written only after a whole one (a file without a NUL is text, not a record). An empty file (a
// create cut before its first entry) holds nothing to lose.
bool KeptEarlier(int32_t fd) {
    uint64_t size = 0, inode = 0;
    uint32_t got = 0;
    if (StorageFileOS_SizeOf(fd, &size, &inode) != 0 || size > kKeptBound) return false;
    char* text = static_cast<char*>(Memory_Alloc(kKeptBound + 1));
    bool ours = StorageFileOS_ReadSome(fd, 0, text, (uint32_t)size, &got) == 0 && got == size;
    for (uint32_t at = 0; ours && at < got;) {
        const char* end = static_cast<const char*>(memchr(text + at, 0, got - at));
        KeptEntry e{};
        if (!end) {
            ours = at > 0;
            break;
        }
        ours = ParseKept(text + at, &e);
        at = (uint32_t)(end - text) + 1;
    }
    Memory_Free(text, kKeptBound + 1);
    return ours;
}

void PrintNotKept(Repository* r, const char* path);

// Opens the record (for reading, with write for writing too) when it is the repository's own: 0
// with *fd and *start, where its entries begin; ENOENT where nothing holds the name; EPERM where
// anything else does (named once: never read, written or removed); or why it could not be opened.
// A record of the repository's that no longer proves itself (copied with the installation, moved to
// another disk, reached by a second name) may hold what a stopped run left: what it holds is taken
// into a new record at its name, made whole before the name leads to it, once the old name is
// removed (its other names stay). 0 with *fd open as KeptOpen opens it; EPERM where what stands there
// is no such record; or the errno value.
int32_t KeptTakeUp(Repository* r, int32_t folder, const char* record, int32_t* fd, uint64_t* start) {
    const int32_t error = StorageRecord_TakeUp(folder, record, kKeptBound, fd, start);
    if (!error) {
        char path[kPathSize];
        if (KeptRecordPath(r, path, (int32_t)sizeof(path)))
            Repository_Print(r, "Record beside the metafile moved or copied, taken up (%s)", LogText(path).Text);
    }
    return error;
}

int32_t KeptOpen(Repository* r, int32_t folder, const char* record, uint32_t write, int32_t* fd, uint64_t* start) {
    *start = 0;
    int32_t error = StorageFileOS_OpenOwn(folder, record, 0, write, fd);
    if (HeldByAnother(error) || error == ENXIO || error == ETXTBSY || error == EWOULDBLOCK) error = EPERM;
    if (!error) {
        const int32_t proven = StorageRecord_Prove(*fd, start);
        if (proven < 0 || (proven == 0 && !KeptEarlier(*fd))) error = EPERM;
        if (error) StorageFileOS_Close(fd);
    }
    if (error == EPERM) error = KeptTakeUp(r, folder, record, fd, start);
    char path[kPathSize];
    if (error == EPERM && KeptRecordPath(r, path, (int32_t)sizeof(path))) PrintNotKept(r, path);
    return error;
}

// Adds one entry to the record, made where none is; 0, the errno value, or EPERM where anything
// else holds its name (named). An entry is whole only with its NUL: the
// tail a failed or cut write left goes first, so that it is never read as the start of this one
// (a tail longer than any entry of ours only gets its end), and a failed append takes back what
// it wrote where it can.
int32_t KeptAdd(Repository* r, const char* name, uint64_t device, uint64_t inode, uint64_t proof) {
    int32_t folder = -1, fd = -1;
    const char* leaf = nullptr;
    char record[kPathSize], line[kPathSize + 96];
    int32_t error = OpenManifestFolder(r, &folder, &leaf);
    if (!error && !KeptRecordName(r, leaf, record, (int32_t)sizeof(record))) error = ENAMETOOLONG;
    uint64_t start = 0, made[3] = {};
    if (!error) error = KeptOpen(r, folder, record, 1, &fd, &start);
    if (error == ENOENT) error = StorageRecord_Make(folder, record, &fd, &start, made);
    if (error == EEXIST) error = KeptOpen(r, folder, record, 1, &fd, &start);
    const int32_t length = String_Print(line, (int32_t)sizeof(line), "%llu:%llu:%llu %s", (unsigned long long)device,
                                        (unsigned long long)inode, (unsigned long long)proof, name);
    if (!error) error = StorageRecord_Append(fd, start, line, (uint32_t)length + 1, (uint32_t)sizeof(line));
    StorageFileOS_Close(&fd);
    StorageFileOS_Close(&folder);
    return error;
}

// Calls each(entry) for every whole entry of the record, in order (a record too large to be ours
// is read to its bound). 0, or the errno value of a record there that could not be read (none is
// read then); a missing record or one not the repository's own holds no entry.
template <typename Each> int32_t KeptRead(Repository* r, int32_t folder, const char* leaf, Each each) {
    char record[kPathSize];
    int32_t fd = -1;
    uint64_t start = 0;
    if (!KeptRecordName(r, leaf, record, (int32_t)sizeof(record))) return 0;
    int32_t error = KeptOpen(r, folder, record, 0, &fd, &start);
    if (error) return error == ENOENT || error == EPERM ? 0 : error;
    error = StorageRecord_ReadEntries(fd, start, kKeptBound, &each, [](void* user, const char* entry) {
        KeptEntry e{};
        if (ParseKept(entry, &e)) (*static_cast<Each*>(user))(e);
    });
    StorageFileOS_Close(&fd);
    return error;
}

// What stands at a name beside the manifest.
enum class Kept { None, Ours, Other };

// The replaced manifest is known by what it holds, a hash of its bytes in place of a proof, so that
// it is known on a file system that keeps no proof of a file and after the installation was copied or
// moved: a file of ours at its name with those very bytes says what the manifest it replaced said.
// The bit tells it from a birth (below it until 2116) and from a token (the bit above).
constexpr uint64_t kContentProof = 1ull << 62;

// The proof of a run of bytes, taken as they come: eight bytes at a time (little-endian), each
// folded in by a multiply and a rotation, then the length and a final mix. Records written before
// it hold a byte-by-byte FNV-1a proof instead, which a check takes (Legacy) only where the word-wise
// one did not match, so that what they name is still known.
struct BytesProof {
    uint64_t Hash = 0x243F6A8885A308D3ull;
    uint64_t Length = 0;
    uint64_t Fnv = 14695981039346656037ull;
    bool Legacy = false;
    uint8_t Tail[8] = {};
    uint32_t TailLength = 0;

    static uint64_t Fold(uint64_t hash, uint64_t word) {
        return std::rotl((hash ^ word) * 0x9E3779B97F4A7C15ull, 29);
    }
    static uint64_t Word(const uint8_t* p) {
        uint64_t word = 0;
        memcpy(&word, p, sizeof(word));
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
        return word;
    }
    void Add(const uint8_t* p, size_t n) {
        Length += n;
        if (Legacy) {
            for (size_t i = 0; i < n; i++) Fnv = (Fnv ^ p[i]) * 1099511628211ull;
            return;
        }
        if (TailLength) {
            const size_t take = std::min<size_t>(sizeof(Tail) - TailLength, n);
            memcpy(Tail + TailLength, p, take);
            TailLength += (uint32_t)take;
            p += take;
            n -= take;
            if (TailLength < sizeof(Tail)) return;
            Hash = Fold(Hash, Word(Tail));
            TailLength = 0;
        }
        for (; n >= 8; p += 8, n -= 8) Hash = Fold(Hash, Word(p));
        memcpy(Tail, p, n);
        TailLength = (uint32_t)n;
    }
    uint64_t Proof() const {
        uint8_t last[8] = {};
        memcpy(last, Tail, TailLength);
        uint64_t h = Fold(Fold(Hash, Word(last)), Length);
        h ^= h >> 30;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 27;
        h *= 0x94D049BB133111EBull;
        h ^= h >> 31;
        return kContentProof | (h & (kContentProof - 1));
    }
    uint64_t LegacyProof() const { return kContentProof | (Fnv & (kContentProof - 1)); }
};

// The proof of the open file's bytes, read to the bound a manifest may have; 0 where they cannot
// all be read (*failed: the errno value of a read the disk failed). legacy: the proof a record
// written before BytesProof holds instead.
uint64_t ContentProof(Repository* r, int32_t fd, int32_t* failed = nullptr, bool legacy = false) {
    constexpr uint32_t kChunk = 64 * 1024;
    int32_t limit = 0;
    MetaFile_GetLimitSize(r->LocalMeta, &limit);
    const uint64_t bound = limit >= 1 ? (uint64_t)limit : (uint64_t)256 << 20;
    uint8_t* chunk = static_cast<uint8_t*>(Memory_Alloc(kChunk));
    BytesProof proof;
    proof.Legacy = legacy;
    uint64_t at = 0;
    bool whole = false;
    for (uint32_t got = 0; at <= bound; at += got) {
        if (const int32_t error = StorageFileOS_ReadSome(fd, at, chunk, kChunk, &got)) {
            if (failed) *failed = error;
            break;
        }
        if (got == 0) {
            whole = true;
            break;
        }
        proof.Add(chunk, got);
    }
    Memory_Free(chunk, kChunk);
    if (!whole) return 0;
    return legacy ? proof.LegacyProof() : proof.Proof();
}

bool IsContentProof(uint64_t proof) { return (proof & kContentProof) && !(proof & STORAGE_FILE_OS_TOKEN); }

// Whether the status is of the replaced manifest this process kept, recorded by the proof given.
bool KeptByThisRun(const Repository* r, const StorageFileOSStatus& status, uint64_t proof) {
    return r->ReplacedIdentity && r->ReplacedProof == proof && !status.OtherUser &&
           status.Kind == STORAGE_FILE_OS_FILE &&
           StorageFileOS_SameFile(status, r->ReplacedDevice, r->ReplacedInode, r->ReplacedIdentity);
}

// *unread: nothing could tell, the disk failing to show the entry or to read its bytes (*why: the
// errno value). known: the file this process kept is known by its identity alone, without its
// bytes read again (for its removal only: what is read back is always judged by its bytes).
Kept KeptAt(Repository* r, int32_t folder, const char* leaf, const char* name, bool* unread = nullptr,
            int32_t* why = nullptr, bool known = false) {
    StorageFileOSStatus status{};
    int32_t failed = 0;
    if (unread) *unread = true;
    if ((failed = StorageFileOS_Status(folder, name, &status)) != 0) {
        if (why) *why = failed;
        return Kept::Other;
    }
    if (unread) *unread = false;
    if (status.Kind == STORAGE_FILE_OS_MISSING) return Kept::None;
    bool ours = false;
    uint64_t content = 0, legacy = 0;
    KeptRead(r, folder, leaf, [&](const KeptEntry& e) {
        if (strcmp(e.Name, name) != 0 || !e.Inode) return;
        if (!IsContentProof(e.Proof)) {
            ours = !status.OtherUser && StorageFileOS_SameFile(status, e.Device, e.Inode, e.Proof);
            return;
        }
        if (known && KeptByThisRun(r, status, e.Proof)) {
            ours = true;
            return;
        }
        int32_t fd = -1;
        if ((!content || (content != e.Proof && !legacy)) && !failed && !status.OtherUser &&
            status.Kind == STORAGE_FILE_OS_FILE && (failed = StorageFileOS_OpenFile(folder, name, 0, &fd)) == 0) {
            if (!content) content = ContentProof(r, fd, &failed);
            // Read again only for a record the word-wise proof does not match.
            if (content && content != e.Proof && !failed) legacy = ContentProof(r, fd, &failed, true);
        }
        StorageFileOS_Close(&fd);
        ours = content && (content == e.Proof || legacy == e.Proof);
    });
    // A file of ours whose bytes the disk would not give up is not known to be another's.
    if (!ours && failed && failed != ELOOP && failed != EACCES && failed != ENXIO && failed != EWOULDBLOCK) {
        if (unread) *unread = true;
        if (why) *why = failed;
    }
    return ours ? Kept::Ours : Kept::Other;
}

// Names, once a refresh, what holds one of the names the repository keeps and is not its own.
void PrintNotKept(Repository* r, const char* path) {
    uint64_t hash = 14695981039346656037ull;
    for (const char* p = path; *p; p++) hash = (hash ^ (uint8_t)*p) * 1099511628211ull;
    constexpr uint32_t kSlots = sizeof(r->KeptNamed) / sizeof(r->KeptNamed[0]);
    for (uint32_t i = 0; i < r->KeptNamedCount && i < kSlots; i++)
        if (r->KeptNamed[i] == hash) return;
    if (r->KeptNamedCount < kSlots) r->KeptNamed[r->KeptNamedCount++] = hash;
    Repository_Print(r, "Not the repository's own file, left (%s)", LogText(path).Text);
}

// A record that is not the repository's own (another's file, or one not private) holds nothing of
// it: named once, and -2 for "nothing can be recorded"; any other error as it is.
int32_t KeptHeld(Repository* r, int32_t error) {
    if (!HeldByAnother(error)) return error;
    char path[kPathSize];
    if (KeptRecordPath(r, path, (int32_t)sizeof(path))) PrintNotKept(r, path);
    return -2;
}

// A scratch name of the repository's beside the manifest (".<manifest>.<random>"), recorded before
// anything is made under it (*scratch empty otherwise). 0 or the errno value: ENAMETOOLONG where
// no name of ours fits beside the manifest, which a save then takes of its own.
int32_t KeptScratch(Repository* r, const char* leaf, char* scratch, int32_t size) {
    char random[7];
    int32_t error = 0;
    if (!String_Random(random, (int32_t)sizeof(random))) error = EIO;
    else if (!PrintWhole(scratch, size, ".%s.%s", leaf, random) || strlen(scratch) > 255) error = ENAMETOOLONG;
    else error = KeptAdd(r, scratch, 0, 0, 0);
    if (error) scratch[0] = 0;
    return error;
}

// Removes what a stopped run left under the record's scratch names (private files of the effective
// user that a recorded name leads to); what is another's there is named and left. 0 once no
// scratch name of the record leads to anything of the repository's, or the errno value of what
// could not be read or removed (the record must stay then).
int32_t KeptSweep(Repository* r) {
    int32_t folder = -1, failed = 0;
    const char* leaf = nullptr;
    if (!r->MetaFilePath[0]) return 0;
    if (const int32_t error = OpenManifestFolder(r, &folder, &leaf)) return error;
    const int32_t unread = KeptRead(r, folder, leaf, [&](const KeptEntry& e) {
        StorageFileOSStatus status{};
        if (e.Inode) return;
        int32_t error = StorageFileOS_Status(folder, e.Name, &status);
        if (!error && status.Kind != STORAGE_FILE_OS_MISSING) {
            // A save gives its scratch the manifest's mode: any mode of a file of ours goes.
            error = StorageFileOS_RemoveOwn(folder, e.Name, 1);
            char path[kPathSize * 2];
            String_Print(path, (int32_t)sizeof(path), "%.*s%s", (int)(leaf - r->MetaFilePath), r->MetaFilePath, e.Name);
            if (!error) Repository_VerboseLog(r, 0, "Remove scratch of a stopped save (%s)", LogText(path).Text);
            else if (HeldByAnother(error)) PrintNotKept(r, path);
            if (HeldByAnother(error)) error = 0;
        }
        if (!failed) failed = error;
    });
    StorageFileOS_Close(&folder);
    return unread ? unread : failed;
}

// Removes the record alone, proven again on what its open reaches and removed only while its name
// still leads to that very file; 0 or the errno value (HeldByAnother: not the repository's own, left).
int32_t KeptDrop(Repository* r) {
    int32_t folder = -1, fd = -1;
    const char* leaf = nullptr;
    char record[kPathSize];
    uint64_t start = 0;
    StorageFileOSStatus status{};
    if (!r->MetaFilePath[0]) return 0;
    int32_t error = OpenManifestFolder(r, &folder, &leaf);
    // No record can be kept at a name that does not fit.
    if (!error && !KeptRecordName(r, leaf, record, (int32_t)sizeof(record))) error = ENOENT;
    if (!error) error = KeptOpen(r, folder, record, 0, &fd, &start);
    if (!error) error = StorageFileOS_StatusOf(fd, &status);
    StorageFileOS_Close(&fd);
    if (!error) {
        const uint64_t proof = StorageFileOS_ProofOf(status);
        error = StorageFileOS_RemoveCopy(folder, record, status.Device, status.Inode,
                                         proof ? proof : STORAGE_FILE_OS_UNPROVEN);
    }
    StorageFileOS_Close(&folder);
    return error == ENOENT ? 0 : error;
}

// Removes the record once nothing it names is left: what stopped saves left under its scratch
// names goes first, and the record stays while any of it could not; 0 or the errno value.
int32_t KeptClear(Repository* r) {
    const int32_t error = KeptSweep(r);
    return error ? error : KeptDrop(r);
}

// The record's end with a sync's or an erase's: true once it is gone, or left as another's. What
// could not be swept or removed is named and fails the work, tried again when the answer says.
bool KeptDropped(Repository* r) {
    if (!ResumeDue(r->KeptResume)) return false;
    const int32_t error = KeptClear(r);
    if (!error || HeldByAnother(error)) return true;
    char path[kPathSize];
    KeptRecordPath(r, path, (int32_t)sizeof(path));
    Repository_Print(r, "Record beside the metafile left (%s) (%d)", LogText(path).Text, PLATFORM_ERROR_ERRNO_BASE + error);
    Repository_Error(r, REPOSITORY_SOURCE_METAFILE_LOCAL, -1, r->KeptErrors++, REPOSITORY_TYPE_ERASE, STORAGE_ERROR_OS,
                     (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error), &r->KeptResume);
    return false;
}

// What stands at the replaced name (*unread: nothing could tell, *why: the errno value; known: as
// KeptAt takes it).
Kept ReplacedAt(Repository* r, bool* unread = nullptr, int32_t* why = nullptr, bool known = false) {
    int32_t folder = -1;
    const char* leaf = nullptr;
    char name[kPathSize];
    if (!r->MetaFilePath[0] || OpenManifestFolder(r, &folder, &leaf) != 0) return Kept::Other;
    const Kept kept = PrintWhole(name, (int32_t)sizeof(name), "%s.replaced", leaf)
                          ? KeptAt(r, folder, leaf, name, unread, why, known)
                          : Kept::Other;
    StorageFileOS_Close(&folder);
    if (kept == Kept::Other && !(unread && *unread)) {
        char path[kPathSize];
        if (ReplacedName(r, path, (int32_t)sizeof(path))) PrintNotKept(r, path);
    }
    return kept;
}

// Records the file open at fd, by its bytes' proof (ContentProof), as the replaced manifest; 0, the
// errno value, or -2 when the record's name is held by what is
// not the repository's own (named): nothing can be kept then.
int32_t RecordReplaced(Repository* r, int32_t fd, uint64_t proof) {
    StorageFileOSStatus status{};
    int32_t error = StorageFileOS_StatusOf(fd, &status);
    if (!error && !proof) error = EIO;
    const char* leaf = nullptr;
    char directory[kPathSize], name[kPathSize];
    SplitPath(r->MetaFilePath, directory, (int32_t)sizeof(directory), &leaf);
    if (!error && !PrintWhole(name, (int32_t)sizeof(name), "%s.replaced", leaf)) error = ENAMETOOLONG;
    if (!error) error = KeptAdd(r, name, status.Device, status.Inode, proof);
    return KeptHeld(r, error);
}

// Copies the installed manifest's file whole to the replaced name: a new private file beside it,
// recorded and synced and renamed into place, so a cut leaves the old copy or the new one. 0 or the error.
int32_t CopyReplaced(Repository* r) {
    constexpr uint32_t kChunk = 64 * 1024;
    char path[kPathSize], directory[kPathSize], scratch[kPathSize];
    const char* leaf = nullptr;
    if (!ReplacedName(r, path, (int32_t)sizeof(path))) return PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG;
    SplitPath(path, directory, (int32_t)sizeof(directory), &leaf);
    // No bigger than a manifest may be read back.
    int32_t limit = 0;
    MetaFile_GetLimitSize(r->LocalMeta, &limit);
    const uint64_t bound = limit >= 1 ? (uint64_t)limit : (uint64_t)256 << 20;
    const int32_t in = Platform_DocumentOpenRead(r->MetaFilePath);
    if (in < 0) return LastErrorOr(EIO);
    void* replacement = nullptr;
    // Unrecorded, the copy is not made (where no name of ours fits, it takes one of its own).
    const int32_t recorded = KeptHeld(r, KeptScratch(r, leaf, scratch, (int32_t)sizeof(scratch)));
    if (recorded && recorded != ENAMETOOLONG) {
        Platform_Close(in);
        return recorded < 0 ? recorded : PLATFORM_ERROR_ERRNO_BASE + recorded;
    }
    const int32_t out = Platform_DocumentReplaceBegin(path, &replacement, scratch[0] ? scratch : nullptr);
    if (out < 0) {
        const int32_t error = LastErrorOr(EIO);
        Platform_Close(in);
        return error;
    }
    char* buffer = static_cast<char*>(Memory_Alloc(kChunk));
    int32_t error = 0;
    uint64_t total = 0;
    BytesProof proof;
    for (;;) {
        uint32_t got = 0;
        if (!Platform_Read(in, buffer, kChunk, &got)) {
            error = LastErrorOr(EIO);
            break;
        }
        if (got == 0) break;
        total += got;
        proof.Add(reinterpret_cast<const uint8_t*>(buffer), got);
        if (total > bound) {
            error = PLATFORM_ERROR_ERRNO_BASE + EFBIG;
            break;
        }
        for (uint32_t done = 0; done < got && !error;) {
            int32_t wrote = 0;
            if (!Platform_Write(out, buffer + done, (int32_t)(got - done), &wrote) || wrote <= 0)
                error = LastErrorOr(EIO);
            else
                done += (uint32_t)wrote;
        }
        if (error) break;
    }
    Memory_Free(buffer, kChunk);
    Platform_Close(in);
    if (!error && (error = RecordReplaced(r, out, proof.Proof())) > 0)
        error = PLATFORM_ERROR_ERRNO_BASE + error;
    if (error) {
        Platform_DocumentReplaceAbort(&replacement);
        return error;
    }
    return Platform_DocumentReplaceCommit(&replacement) ? 0 : LastErrorOr(EIO);
}

struct CloseJob {
    IOWorkerItem Item;
    int32_t Fd;
};

void CloseRun(void*, IOWorkerItem* item) {
    CloseJob* job = reinterpret_cast<CloseJob*>(item);
    StorageFileOS_Close(&job->Fd);
    Memory_Free(job, sizeof(CloseJob));
}

// Closes a descriptor of a file whose last name is gone on the I/O worker, where there is one: its
// last close frees its blocks, which on a large manifest (and a file system that discards what it
// frees) the repository's thread would otherwise wait for.
void CloseBeside(int32_t* fd) {
    if (*fd < 0) return;
    CloseJob* job = IOWorker_IsRunning() ? static_cast<CloseJob*>(Memory_Alloc(sizeof(CloseJob))) : nullptr;
    if (!job) {
        StorageFileOS_Close(fd);
        return;
    }
    job->Item.Function = CloseRun;
    job->Fd = *fd;
    *fd = -1;
    IOWorker_Post(nullptr, nullptr, &job->Item);
}

// Removes a file of the folder, held open across the removal (a read-only descriptor, no link
// followed) so that freeing it is left to that descriptor's close beside the work. Where it cannot
// be opened the removal frees it at once. 0, also when the file is gone already (another remover
// was first), or the error, as the platform names it.
int32_t DeleteBeside(int32_t folder, const char* leaf) {
    int32_t held = -1, error = 0;
    StorageFileOS_OpenFile(folder, leaf, 0, &held);
    if (!Platform_TreeDeleteFile(folder, leaf)) error = LastErrorOr(EIO);
    CloseBeside(&held);
    return Platform_ErrorMissing(error) ? 0 : error;
}

// Keeps the installed manifest's file under the replaced name: a second name of the same file,
// which costs no room on a disk the save may find nearly full (the save renames a new file over
// the manifest's name, so this one keeps the old text); a copy where the file system has no such
// names or the manifest's name is a link. Its identity is recorded before the name leads to it. A
// replaced manifest of the repository's left before, whose cleanup is done, goes first: cut there,
// nothing is left to finish. What is not the repository's own at the name is left, and the update
// goes on without one (-2). 0 or the error.
int32_t KeepReplaced(Repository* r) {
    char path[kPathSize], directory[kPathSize];
    const char* leaf = nullptr;
    const char* manifest = nullptr;
    if (!ReplacedName(r, path, (int32_t)sizeof(path))) return PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG;
    const Kept before = ReplacedAt(r);
    if (before == Kept::Other) return -2;
    SplitPath(path, directory, (int32_t)sizeof(directory), &leaf);
    SplitPath(r->MetaFilePath, directory, (int32_t)sizeof(directory), &manifest);
    int32_t fd = -1;
    if (!Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, directory, 1, &fd, nullptr)) return LastErrorOr(EIO);
    int32_t error = 0, file = -1;
    uint64_t proof = 0;
    struct stat info;
    r->ReplacedIdentity = 0;
    // An earlier replaced manifest goes while the copy runs: its blocks are freed beside it.
    if (before == Kept::Ours && (error = DeleteBeside(fd, leaf)) != 0) {
        // It stays, and nothing is kept in its place.
    } else if (Platform_TreeStat(fd, manifest, &info) != 1 || !S_ISREG(info.st_mode) ||
               StorageFileOS_OpenFile(fd, manifest, 0, &file) != 0) {
        error = -1;
    } else if ((error = RecordReplaced(r, file, proof = ContentProof(r, file))) != 0) {
        if (error > 0) error = PLATFORM_ERROR_ERRNO_BASE + error;
    } else if (linkat(fd, manifest, fd, leaf, 0) != 0) {
        error = errno == EXDEV || errno == EPERM || errno == ENOTSUP || errno == EMLINK || errno == ENOSYS
                    ? -1
                    : PLATFORM_ERROR_ERRNO_BASE + errno;
    } else {
        // The replaced name and the record must last before the save they guard is made: their
        // folder is flushed with the installation before the save (Flushed), not here, so that the
        // copy waits on no flush meanwhile; on the installation's file system that flush alone
        // makes them last.
        r->ReplacedUnflushed = 1;
        // Known from here on by the identity of the file hashed, where it has one: the name leads
        // to it unless a file was moved to the manifest's name in between, which fails that
        // identity and is judged by its bytes.
        StorageFileOSStatus kept{};
        if (!error && StorageFileOS_StatusOf(file, &kept) == 0 && StorageFileOS_ProofOf(kept)) {
            r->ReplacedDevice = kept.Device;
            r->ReplacedInode = kept.Inode;
            r->ReplacedIdentity = StorageFileOS_ProofOf(kept);
            r->ReplacedProof = proof;
        }
    }
    StorageFileOS_Close(&file);
    Platform_Close(fd);
    return error == -1 ? CopyReplaced(r) : error;
}

// Removes the repository's replaced manifest once its cleanup ended, then the record; 0 or the
// error (a missing one is gone; another's is left).
int32_t RemoveReplaced(Repository* r) {
    char path[kPathSize], directory[kPathSize];
    const char* leaf = nullptr;
    if (!ReplacedName(r, path, (int32_t)sizeof(path))) return 0;
    int32_t error = 0;
    if (ReplacedAt(r, nullptr, nullptr, true) == Kept::Ours) {
        SplitPath(path, directory, (int32_t)sizeof(directory), &leaf);
        int32_t fd = -1;
        if (!Platform_TreeOpenDirectory(PLATFORM_TREE_CWD, directory, 1, &fd, nullptr)) return LastErrorOr(EIO);
        error = DeleteBeside(fd, leaf);
        Platform_Close(fd);
    }
    // A record another holds holds nothing of the repository's (it was named when it was met).
    if (!error && (error = KeptClear(r)) != 0) error = HeldByAnother(error) ? 0 : PLATFORM_ERROR_ERRNO_BASE + error;
    return error;
}

// Once per refresh, with the installed manifest read: what a stopped save left goes, and a replaced
// manifest of the repository's that a cut run left beside it is noted.
void NoteReplaced(Repository* r) {
    if (r->ReplacedChecked || !ResumeDue(r->ReplacedResume)) return;
    r->ReplacedChecked = 1;
    r->KeptNamedCount = 0;
    const int32_t swept = KeptSweep(r);
    char localId[REPOSITORY_REMOTE_ID_SIZE];
    if (!r->LocalMetaConfigured || !MetaFile_GetId(r->LocalMeta, localId, (int32_t)sizeof(localId)) || !localId[0]) {
        r->ReplacedUnread = 0;
        return;
    }
    bool unread = true;
    int32_t why = 0;
    const Kept replaced = ReplacedAt(r, &unread, &why);
    r->ReplacedUnread = 0;
    if (replaced != Kept::Ours && unread && why) {
        // A fault of the disk tells nothing of the replaced manifest: one of the repository's
        // still lists what a cut run's cleanup has to erase, and once the save keeps the manifest
        // it replaces, nothing would name those files again. It is looked at again when the
        // error's answer says; until then the work installs, saves and drops nothing.
        char path[kPathSize];
        ReplacedName(r, path, (int32_t)sizeof(path));
        Repository_Print(r, "Failed to read the replaced metafile (%s) (%d)", LogText(path).Text,
                         PLATFORM_ERROR_ERRNO_BASE + why);
        Repository_Error(r, REPOSITORY_SOURCE_STORAGE_LOCAL, -1, r->ReplacedErrors++, REPOSITORY_TYPE_WRITE,
                         STORAGE_ERROR_OS, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + why), &r->ReplacedResume);
        r->ReplacedUnread = 1;
        r->ReplacedChecked = 0;
        return;
    }
    // A run found nothing to install does not reach the save's end: the record of a cut run goes
    // here once nothing of the repository's is left at a name it holds (what another put at the
    // replaced name is no manifest of its own). One that cannot go leaves the installation to a
    // sync, whose end removes it or fails (one beside a replaced name nothing could tell of stays).
    if (replaced != Kept::Ours) {
        const int32_t error = swept ? swept : unread ? 0 : KeptDrop(r);
        if (error && !HeldByAnother(error)) r->KeptLeft = 1;
        return;
    }
    Repository_Print(r, "Replaced metafile left by a stopped run (%s)", r->MetaFilePath);
    r->Replaced = kReplacedLeft;
    r->ReplacedFound = 1;
}

// The cleanup a cut run left: what the replaced manifest lists and neither the installed one nor
// (for a sync) the one being installed lists goes, by the cleanup's own rules. Runs on the local
// cleanup, which is made anew afterwards for the work's own cleanup.
void FinishReplaced(Repository* r, bool sync) {
    if (!r->CleanupOn) {
        // Nothing is erased where cleanups are off; the record goes with the work's end.
        r->Replaced = kReplacedOnDisk;
        return;
    }
    char path[kPathSize];
    ReplacedName(r, path, (int32_t)sizeof(path));
    if (!MetaFile_IsLoadComplete(r->ReplacedMeta)) {
        if (!MetaFile_IsAlive(r->ReplacedMeta) && ResumeDue(r->ReplacedResume)) {
            char url[kPathSize + 8];
            if (!PrintWhole(url, (int32_t)sizeof(url), "file://%s", path)) {
                r->Replaced = kReplacedOnDisk;
                return;
            }
            MetaFile_Load(r->ReplacedMeta, url, 0);
        }
        return;
    }
    if (!MetaFile_IsOk(r->ReplacedMeta)) {
        // A fault of the disk while it was read is no unreadable manifest: what it lists is still to
        // be erased, so it is read again when the error's answer says (a stall fails the work).
        uint32_t code = 0, extra = 0;
        MetaFile_GetLastError(r->ReplacedMeta, &code, &extra);
        const bool notFile = extra == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + ENOTSUP) ||
                             extra == (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + EISDIR);
        if (code == STORAGE_ERROR_OS && !notFile && !Platform_ErrorMissing((PlatformErrorCode)extra)) {
            Repository_Print(r, "Failed to read the replaced metafile (%s) (%d)", LogText(path).Text, (int32_t)extra);
            Repository_Error(r, REPOSITORY_SOURCE_STORAGE_LOCAL, -1, r->ReplacedErrors++, REPOSITORY_TYPE_WRITE,
                             code, extra, &r->ReplacedResume);
            MetaFile_Reset(r->ReplacedMeta);
            return;
        }
        // Nothing it might list is erased on a guess; the record is replaced or removed as usual.
        Repository_Print(r, "Replaced metafile unreadable, nothing erased from it (%s)", LogText(path).Text);
        r->Replaced = kReplacedOnDisk;
        return;
    }
    if (StorageCleanup_IsComplete(r->LocalCleanup)) {
        WireCleanup(r, &r->LocalCleanup, r->Local, false);
        r->Replaced = kReplacedOnDisk;
        return;
    }
    if (StorageCleanup_IsAlive(r->LocalCleanup)) return;
    Repository_Print(r, "Finishing the cleanup of a replaced metafile (%s)", LogText(path).Text);
    StorageCleanup_SetSourceMetaFileHandle(r->LocalCleanup, r->ReplacedMeta);
    if (sync) {
        StorageCleanup_SetDestMetaFileHandle(r->LocalCleanup, r->RemoteMeta);
        StorageCleanup_SetKeepMetaFileHandle(r->LocalCleanup, r->LocalMeta);
    } else {
        StorageCleanup_SetBlankDestMetaFileHandle(r->LocalCleanup);
    }
    StorageCleanup_SetPrintIdentifier(r->LocalCleanup, "Cleaning");
    if (!StorageCleanup_Start(r->LocalCleanup)) {
        StorageCleanup_Shutdown(r->LocalCleanup);
        r->Replaced = kReplacedOnDisk;
    }
}

// The record goes once the cleanup it was kept for ended. One that cannot be removed is named and
// fails the work (tried again when the answer says); a stopped run leaves it to the next, which
// reads it back and erases nothing the installed manifest lists.
void DropReplaced(Repository* r) {
    if (!ResumeDue(r->ReplacedResume)) return;
    const int32_t error = RemoveReplaced(r);
    if (error) {
        char path[kPathSize];
        ReplacedName(r, path, (int32_t)sizeof(path));
        Repository_Print(r, "Replaced metafile left (%s) (%d)", LogText(path).Text, error);
    }
    // A record beside the manifest that is not the repository's own is named and left by design.
    if (error && error != PLATFORM_ERROR_ERRNO_BASE + EPERM) {
        Repository_Error(r, REPOSITORY_SOURCE_METAFILE_LOCAL, -1, r->ReplacedErrors++, REPOSITORY_TYPE_ERASE,
                         STORAGE_ERROR_OS, (uint32_t)error, &r->ReplacedResume);
        return;
    }
    r->Replaced = kReplacedNone;
    r->ReplacedIdentity = 0;
}

// ---- Refresh --------------------------------------------------------------------------------------

// The remote id of the local configuration; false (and a configuration error) when it is too long
// to be held whole.
bool ReadRemoteId(Repository* r) {
    char id[REPOSITORY_REMOTE_ID_SIZE];
    r->RemoteId[0] = 0;
    const char* text = nullptr;
    Text read = Text::Absent;
    if (Dictionary_GetStringPtrByPath(r->Config, "remote.id", &text) == 1)
        read = Whole(text, id, (int32_t)sizeof(id));
    for (const char* key : {"remote.id", "remoteId"})
        if (read == Text::Absent) read = ReadString(r->Config, key, id, (int32_t)sizeof(id));
    if (read == Text::TooLong) {
        Repository_ConfigError(r, "Configuration dictionary invalid %s (too long)", "remote.id");
        return false;
    }
    if (read == Text::Found) String_CopyLength(r->RemoteId, id, sizeof(r->RemoteId));
    return true;
}

// Where the remote id that Repository_GetRemoteId answers came from, for the error that refuses it.
void RemoteIdSource(Repository* r, char* where, int32_t size) {
    char id[REPOSITORY_REMOTE_ID_SIZE];
    if (IsRemoteMetaLoaded(r) && MetaFile_GetId(r->RemoteMeta, id, (int32_t)sizeof(id)) && id[0])
        String_Print(where, size, "remote metafile");
    else if (Catalog_IsLoadComplete(r->CatalogDoc) && Catalog_IsOk(r->CatalogDoc) &&
             !Catalog_IsLoadSkipped(r->CatalogDoc) && Catalog_GetId(r->CatalogDoc, id, (int32_t)sizeof(id)) && id[0])
        String_Print(where, size, "catalog (%s)", LogText(r->CatalogUrl).Text);
    else if (Alias_IsLoadComplete(r->AliasDoc) && Alias_IsOk(r->AliasDoc) && !Alias_IsLoadSkipped(r->AliasDoc))
        String_Print(where, size, "alias (%s)", LogText(r->AliasUrl).Text);
    else
        String_Print(where, size, "local configuration (remote.id)");
}

void LoadCatalog(Repository* r, const char* base) {
    char url[kPathSize];
    char remoteId[REPOSITORY_REMOTE_ID_SIZE];
    char localId[REPOSITORY_REMOTE_ID_SIZE];
    Repository_GetRemoteId(r, remoteId, (int32_t)sizeof(remoteId));
    Repository_GetLocalId(r, localId, (int32_t)sizeof(localId));
    Catalog_SetReportError(r->CatalogDoc, 1);
    uint32_t delta = 0;
    Catalog_GetDelta(r->CatalogDoc, &delta);
    const size_t length = strlen(base);
    if (length >= 5 && String_CompareWithoutCase(base + length - 5, ".json")) {
        String_CopyLength(url, base, sizeof(url));
        delta = 0;
    } else {
        if (remoteId[0] == 0) {
            Repository_ConfigError(r, "Remote id required");
            Repository_SetRefresh(r, 0);
            return;
        }
        // The ids become segments of the catalogue's address: one that is not a plain segment
        // would aim it elsewhere (another folder, a query, with a file: base a file of its choice).
        if (!Repository_IsCatalogId(remoteId)) {
            char where[kPathSize + 32];
            RemoteIdSource(r, where, (int32_t)sizeof(where));
            Repository_ConfigError(r, "Remote id not usable in a catalog URL (%s) from %s", LogText(remoteId).Text,
                                   where);
            Repository_SetRefresh(r, 0);
            return;
        }
        bool fromLocal = delta && localId[0] && !String_CompareWithoutCase(localId, remoteId);
        // The installed version's id only chooses the delta catalogue: without a usable one the
        // full catalogue serves.
        if (fromLocal && !Repository_IsCatalogId(localId)) {
            Repository_Print(r, "Local id not usable in a catalog URL (%s) from local metafile (%s)",
                             LogText(localId).Text, LogText(r->MetaFilePath).Text);
            fromLocal = false;
        }
        if (!Repository_CatalogAddress(base, remoteId, fromLocal ? localId : "", url, (int32_t)sizeof(url))) {
            Repository_ConfigError(r, "Catalog URL too long (%s) (%s)", LogText(base).Text, remoteId);
            Repository_SetRefresh(r, 0);
            return;
        }
        if (fromLocal)
            Catalog_SetReportError(r->CatalogDoc, 0);
        else
            delta = 0;
    }
    Catalog_SetDelta(r->CatalogDoc, delta);
    String_CopyLength(r->CatalogUrl, url, sizeof(r->CatalogUrl));
    Catalog_Load(r->CatalogDoc, url, Verify(r, url));
}

bool ConfigureStorage(Repository* r, Storage* storage, Dictionary* dict, uint32_t* outFlags);

bool ConfigureLocal(Repository* r) {
    Dictionary* local = nullptr;
    return Dictionary_GetDictionaryByKey(r->Config, "local", &local) && local &&
           ConfigureStorage(r, r->Local, local, nullptr);
}

// A run that failed or was killed while it changed the installation left it marked unfinished:
// whatever version the remote offers now, the installed one included, is installed again, every
// file checked against it.
void NoteUnfinished(Repository* r) {
    if (!ConfigureLocal(r)) return;
    // The mark is this repository's own, as the record's entries are.
    BindLocal(r);
    const int64_t unfinished = StorageCleanup_IsUnfinished(r->Local);
    if (!unfinished) return;
    char local[kPathSize];
    Repository_GetLocalPath(r, local, (int32_t)sizeof(local));
    // A record that cannot be read tells nothing: the installation may be unfinished, and the sync
    // asked for repairs it (or fails where it cannot read the record either).
    Repository_Print(r, unfinished < 0 ? "Record of the installation unreadable, to be repaired (%s)"
                                       : "Installation left unfinished by a stopped run (%s)",
                     LogText(local).Text);
    r->UnfinishedFound = 1;
}

// A refresh that finds the installed version current: the copies a failed sync of another version
// left stand for nothing still to do, and no later sync of this version would judge them.
void RemoveLeftCopies(Repository* r) {
    if (!ConfigureLocal(r)) return;
    BindLocal(r);
    int64_t swept = -1;
    // Each turn works through a bounded share of the record.
    for (int turn = 0; swept < 0 && turn < 1000; turn++)
        swept = StorageCleanup_RemoveStrayCopies(r->Local, r->LocalMeta, 0);
    if (swept != 0) return;
    Repository_Print(r, "Stray copies left in the installation's folder");
    // What could not be written down or removed (not what is another's, left by design) fails the
    // work: nothing retries it in a refresh, and the next run finds it on record.
    if (const int32_t error = StorageCleanup_ReplayError(r->Local)) {
        char local[kPathSize];
        Repository_GetLocalPath(r, local, (int32_t)sizeof(local));
        Repository_Print(r, "Failed to remove what a failed run left (%s) (%d)", LogText(local).Text,
                         PLATFORM_ERROR_ERRNO_BASE + error);
        double resume = 0;
        Repository_Error(r, REPOSITORY_SOURCE_STORAGE_LOCAL, -1, 0, REPOSITORY_TYPE_ERASE, STORAGE_ERROR_OS,
                         (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error), &resume);
        r->Failed = 1;
    }
}

void RefreshWork(Repository* r) {
    if (!(Alias_IsLoadComplete(r->AliasDoc) && Alias_IsOk(r->AliasDoc))) {
        double resume = 0;
        Alias_GetResumeTime(r->AliasDoc, &resume);
        if (Alias_IsAlive(r->AliasDoc) || !ResumeDue(resume)) return;
        if (!ReadRemoteId(r)) {
            Repository_SetRefresh(r, 0);
            return;
        }
        if (r->RemoteId[0]) {
            Alias_SkipLoad(r->AliasDoc);
            return;
        }
        char url[kPathSize];
        Text read = ReadString(r->Config, "alias", url, (int32_t)sizeof(url));
        if (read == Text::Absent) read = AppString(r->AppConfig, kAppConfigAliasUrl, url, (int32_t)sizeof(url));
        if (read == Text::TooLong) {
            Repository_ConfigError(r, "Configuration dictionary invalid %s (too long)", "alias");
            Repository_SetRefresh(r, 0);
            return;
        }
        if (read == Text::Absent) {
            Repository_VerboseLog(r, 0, "Alias not configured");
            Alias_SkipLoad(r->AliasDoc);
            return;
        }
        String_CopyLength(r->AliasUrl, url, (int32_t)sizeof(r->AliasUrl));
        Alias_SetKey(r->AliasDoc, r->Name);
        Alias_Load(r->AliasDoc, url, Verify(r, url));
        return;
    }
    if (Catalog_IsLoadComplete(r->CatalogDoc) && Catalog_IsOk(r->CatalogDoc)) {
        const uint32_t flags = r->StateFlags;
        if (!(flags & REPOSITORY_STATEFLAG_LOCALID) || !(flags & REPOSITORY_STATEFLAG_REMOTEID)) {
            if (!(flags & REPOSITORY_STATEFLAG_LOCALID)) Repository_Print(r, "Local metafile not loaded");
            if (!(flags & REPOSITORY_STATEFLAG_REMOTEID)) Repository_Print(r, "Remote metafile not loaded");
            Repository_ConfigError(r, nullptr);
        } else {
            NoteUnfinished(r);
            if (!(flags & (REPOSITORY_STATEFLAG_INSTALL | REPOSITORY_STATEFLAG_UPDATE)) &&
                !r->UnfinishedFound)
                RemoveLeftCopies(r);
        }
        Repository_SetRefresh(r, 0);
        return;
    }
    double resume = 0;
    Catalog_GetResumeTime(r->CatalogDoc, &resume);
    if (Catalog_IsAlive(r->CatalogDoc) || !ResumeDue(resume)) return;
    char remoteId[REPOSITORY_REMOTE_ID_SIZE];
    const bool haveRemote = Repository_GetRemoteId(r, remoteId, (int32_t)sizeof(remoteId)) == 1;
    char url[kPathSize] = {};
    Text read = Text::Absent;
    if (!haveRemote || r->CatalogOn) {
        uint32_t type = 0;
        if (Dictionary_GetTypeByKey(r->Config, "catalog", &type) == 1)
            read = ReadString(r->Config, "catalog", url, (int32_t)sizeof(url));
        else
            read = AppString(r->AppConfig, kAppConfigCatalogUrl, url, (int32_t)sizeof(url));
    }
    if (read == Text::TooLong) {
        Repository_ConfigError(r, "Configuration dictionary invalid %s (too long)", "catalog");
        Repository_SetRefresh(r, 0);
        return;
    }
    if (read == Text::Found && url[0]) {
        LoadCatalog(r, url);
        return;
    }
    if (r->CatalogOn) Repository_VerboseLog(r, 0, "Catalog not configured");
    r->CatalogUrl[0] = 0;
    Catalog_SetDelta(r->CatalogDoc, 0);
    Catalog_SkipLoad(r->CatalogDoc);
}

// ---- Synchronisation ------------------------------------------------------------------------------

bool ConfigureStorage(Repository* r, Storage* storage, Dictionary* dict, uint32_t* outFlags) {
    Storage_SetPrintCallback(storage, r, Repository_StoragePrint);
    Storage_SetEventQueueHandle(storage, r->Queue);
    if (Storage_Configure(storage, r->AppConfig, dict, outFlags) != 1) return false;
    MeterRW* meter = nullptr;
    if (Storage_GetMeterRWHandle(storage, &meter) && meter) MeterRW_SetParentHandle(meter, r->LocalMeter);
    return true;
}

// What a catalogue's configuration may tune: where and how pieces are fetched and how much runs
// at once, within bounds. Nothing local: no storage of the installation or of pending pieces
// (their type, folder, suffix of copies), no manifest or lock place, nothing read from a folder of
// the catalogue's choice.
enum class Allowed { Text, Url, Flag, Number, Scalar, Storage, Storages };

struct AllowedKey {
    const char* Key;
    Allowed Kind;
    double Min, Max; // for numbers
};

constexpr AllowedKey kCatalogKeys[] = {
    {"remote", Allowed::Storage, 0, 0},       {"mask", Allowed::Text, 0, 0},
    {"autoMask", Allowed::Flag, 0, 0},        {"cleanup", Allowed::Flag, 0, 0},
    {"inplace", Allowed::Flag, 0, 0},         {"requests", Allowed::Number, 1, 64},
    {"fileCompletes", Allowed::Number, 1, 64}, {"deltaCacheSize", Allowed::Number, 0, 1 << 30},
};

// A remote storage: fetched over HTTP, or a list of such. Its addresses are remote ones only: a
// "file:" (or any other) address would have the sync read a folder of the catalogue's choice.
constexpr AllowedKey kRemoteKeys[] = {
    {"type", Allowed::Text, 0, 0},        {"url", Allowed::Url, 0, 0},          {"baseUrl", Allowed::Url, 0, 0},
    {"pieceFormat", Allowed::Text, 0, 0}, {"deltaFormat", Allowed::Text, 0, 0}, {"flags", Allowed::Scalar, 0, 0},
    {"storages", Allowed::Storages, 0, 0},
};
constexpr const char* kRemoteTypes[] = {"http", "httpPiece", "mux"};
constexpr int32_t kAllowedDepthMax = 16;

bool AllowsValue(Dictionary* dict, DictionaryItem* item, const AllowedKey& allowed) {
    uint32_t type = 0;
    Dictionary_ItemGetType(dict, item, &type);
    const bool number = type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64;
    switch (allowed.Kind) {
    case Allowed::Text:
        return type == DICTIONARY_TYPE_STRING;
    case Allowed::Url: {
        const char* text = nullptr;
        if (type != DICTIONARY_TYPE_STRING || !Dictionary_ItemGetStringPtr(dict, item, &text) || !text) return false;
        return String_CompareBeginningWithoutCase(text, "http://") || String_CompareBeginningWithoutCase(text, "https://");
    }
    case Allowed::Flag:
        return type == DICTIONARY_TYPE_BOOLEAN;
    case Allowed::Scalar:
        return number || type == DICTIONARY_TYPE_STRING;
    case Allowed::Number: {
        double value = -1;
        return number && Dictionary_ItemGetFloat64(dict, item, &value) && value >= allowed.Min && value <= allowed.Max;
    }
    case Allowed::Storage:
        return type == DICTIONARY_TYPE_DICTIONARY || type == DICTIONARY_TYPE_LIST;
    case Allowed::Storages:
        return type == DICTIONARY_TYPE_LIST;
    }
    return false;
}

bool KeepRemote(Repository* r, Dictionary* storage, int32_t depth);

// Keeps, in a list of remote storages, those that pass.
void KeepRemoteList(Repository* r, Dictionary* list, int32_t depth) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(list, &item);
    while (item) {
        DictionaryItem* next = nullptr;
        Dictionary_ItemGetNext(list, item, &next);
        Dictionary* child = nullptr;
        if (!Dictionary_ItemGetDictionaryHandle(list, item, &child) || !child || !KeepRemote(r, child, depth + 1))
            Dictionary_Remove(list, &item);
        item = next;
    }
}

// Removes every key that is not allowed, or whose value is not of its kind or out of bounds,
// printing its name; storages are held to their own keys.
void KeepAllowed(Repository* r, Dictionary* dict, const AllowedKey* keys, size_t count, int32_t depth) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemGetFirst(dict, &item);
    while (item) {
        DictionaryItem* next = nullptr;
        Dictionary_ItemGetNext(dict, item, &next);
        const char* key = nullptr;
        Dictionary_ItemGetKeyPtr(dict, item, &key);
        const AllowedKey* allowed = nullptr;
        for (size_t i = 0; key && i < count && !allowed; i++)
            if (String_CompareWithoutCase(key, keys[i].Key)) allowed = &keys[i];
        bool keep = allowed && depth <= kAllowedDepthMax && AllowsValue(dict, item, *allowed);
        Dictionary* child = nullptr;
        if (keep && (allowed->Kind == Allowed::Storage || allowed->Kind == Allowed::Storages) &&
            Dictionary_ItemGetDictionaryHandle(dict, item, &child) && child) {
            uint32_t type = 0;
            Dictionary_ItemGetType(dict, item, &type);
            if (type == DICTIONARY_TYPE_LIST) KeepRemoteList(r, child, depth);
            else keep = KeepRemote(r, child, depth + 1);
        }
        if (!keep) {
            Repository_Print(r, "Catalog config key ignored (%s)", key ? key : "");
            Dictionary_Remove(dict, &item);
        }
        item = next;
    }
}

// A remote storage of a kind that fetches from a remote, with only its own keys; false when it
// is of another kind (or has none).
bool KeepRemote(Repository* r, Dictionary* storage, int32_t depth) {
    const char* type = nullptr;
    bool remote = false;
    if (Dictionary_GetStringPtrByKey(storage, "type", &type) && type)
        for (const char* name : kRemoteTypes) remote = remote || String_CompareWithoutCase(type, name);
    if (!remote || depth > kAllowedDepthMax) {
        Repository_Print(r, "Catalog config storage ignored (%s)", type ? type : "");
        return false;
    }
    KeepAllowed(r, storage, kRemoteKeys, sizeof(kRemoteKeys) / sizeof(kRemoteKeys[0]), depth);
    return true;
}

// The catalogue's configuration as it may be merged: only what a remote may tune.
void MergeRemoteConfig(Repository* r, Dictionary* working, Dictionary* config) {
    Dictionary* copy = nullptr;
    Dictionary_Create(&copy);
    Dictionary_Merge(copy, config, DICTIONARY_MERGE_OVERWRITE);
    KeepAllowed(r, copy, kCatalogKeys, sizeof(kCatalogKeys) / sizeof(kCatalogKeys[0]), 0);
    Dictionary_Merge(working, copy, DICTIONARY_MERGE_OVERWRITE);
    Dictionary_Release(&copy);
}

// A fault of the disk that stopped a sync's start before anything changed: named with the step and
// its path, and recorded, so that it ends the work (a permanent one at once) or is tried again when
// the answer says, a few times: a start the disk refuses that often fails the work then, rather
// than at the stall's time-out.
constexpr uint32_t kStartTries = 4;
void StartFault(Repository* r, const char* step, const char* path, int32_t source, int32_t error) {
    Repository_Print(r, "Failed to %s (%s) (%d)", step, LogText(path).Text, PLATFORM_ERROR_ERRNO_BASE + error);
    Repository_Error(r, source, -1, r->StartErrors++, REPOSITORY_TYPE_WRITE, STORAGE_ERROR_OS,
                     (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error), &r->StartResume);
    if (r->StartErrors >= kStartTries) r->Failed = 1;
}

// How a sync's start ended: started; refused (a configuration error, recorded: the sync ends a
// failure); or stopped by a fault of the disk, recorded, to be tried again at its resume time.
enum class Start { Started, Refused, Retry };

// Stops a start's sweep and lets it go however the start ends, but where its run took it over.
struct SweepHold {
    StorageFileSweep* Sweep;
    ~SweepHold() {
        StorageFile_SweepStop(Sweep);
        StorageFile_SweepRelease(&Sweep);
    }
};

// Starts the unfinished mark: its entry is written now, its flush runs while the copy checks and
// fetches, its writes held until the mark lasts (MarkLasting). 0 or the errno value (named).
// A mark that could not be written or flushed: named, and made again when the error's answer says.
void MarkFault(Repository* r, int32_t error) {
    char path[kPathSize];
    Repository_GetLocalPath(r, path, (int32_t)sizeof(path));
    StartFault(r, "mark the installation unfinished", path, REPOSITORY_SOURCE_STORAGE_LOCAL, error);
    r->Marking = 2;
}

int32_t MarkStart(Repository* r) {
    const int32_t error = StorageCleanup_MarkStart(r->Local, r->ThreadId);
    if (error) MarkFault(r, error);
    else r->Marking = 1;
    return error;
}

// Whether this sync's mark lasts, so that the installation may change. One that failed is named
// and made again when the error's answer says (the start's faults end the work after a few); the
// copy's writes wait meanwhile.
bool MarkLasting(Repository* r) {
    if (r->Marking == 2 && ResumeDue(r->StartResume)) MarkStart(r);
    if (r->Marking != 1) return r->Marking == 0;
    int32_t error = 0;
    if (!StorageCleanup_MarkSettled(r->Local, &error)) return false;
    if (error) {
        MarkFault(r, error);
        return false;
    }
    r->Marking = 0;
    StorageCopy_SetWritesHeld(r->Copy, 0);
    return true;
}

Start SyncStart(Repository* r) {
    // A stopped run's mark still being flushed ends first: the storage makes one at a time.
    int32_t settled = 0;
    if (r->Marking == 1 && !StorageCleanup_MarkSettled(r->Local, &settled)) return Start::Retry;
    r->Marking = 0;
    // The sweep serves this start alone. It goes on while the storage is set up, and the copy's
    // first checks, which would wait for it, join it instead (StorageFile_ExistsAtOnce).
    if (r->SweepWanted) StartSweep(r);
    SweepHold hold{r->Sweep};
    r->Sweep = nullptr;
    StorageCopy_SetSweepHandle(r->Copy, nullptr);
    char localId[REPOSITORY_REMOTE_ID_SIZE];
    Repository_GetLocalId(r, localId, (int32_t)sizeof(localId));
    if (r->Working) Dictionary_Release(&r->Working);
    Dictionary_Create(&r->Working);
    Dictionary_Merge(r->Working, r->Config, DICTIONARY_MERGE_OVERWRITE);
    r->Apply = 0;
    r->StraySwept = 0;
    r->StrayErrors = 0;
    r->StrayResume = 0;
    if (!Catalog_IsLoadSkipped(r->CatalogDoc)) {
        Dictionary* config = nullptr;
        if (!Catalog_GetConfigHandle(r->CatalogDoc, &config) || !config) {
            Repository_ConfigError(r, "Catalog missing config");
            return Start::Refused;
        }
        MergeRemoteConfig(r, r->Working, config);
    }
    DictionaryItem* item = nullptr;
    if (Dictionary_ItemFindByKey(r->Working, "mask", nullptr, &item) && item)
        Dictionary_ItemSetPrivate(r->Working, item, 1);
    item = nullptr;
    if (Dictionary_ItemFindByKey(r->Working, "stageMask", nullptr, &item) && item)
        Dictionary_ItemSetPrivate(r->Working, item, 1);

    for (StorageCopy* job : {r->Copy, r->ApplyJob}) {
        StorageCopy_SetSourceMetaFileHandle(job, r->RemoteMeta);
        StorageCopy_SetDestMetaFileHandle(job, r->LocalMeta);
    }
    PieceList* pieces = nullptr;
    int32_t pieceCount = 0;
    if (!MetaFile_GetPieceListHandle(r->RemoteMeta, &pieces) || !pieces) {
        Repository_ConfigError(r, "MetaFile missing pieces dictionary (%s)", r->Name);
        return Start::Refused;
    }
    PieceList_GetPieceTotal(pieces, &pieceCount);
    Dictionary* pending = nullptr;
    Dictionary_GetDictionaryByKey(r->Working, "pending", &pending);
    const bool inplace = GetBool(r->Working, "inplace", 1);
    // Without a configured manifest path there is nowhere to save: nothing is written.
    r->MetaFileSave = GetBool(r->Working, "metafileSave", 1) && r->LocalMetaConfigured ? 1 : 0;
    r->CleanupOn = GetBool(r->Working, "cleanup", 1) ? 1 : 0;

    BitField_SetTotalBits(r->Mask, pieceCount);
    BitField_ClearAll(r->Mask);
    uint32_t flags = STORAGE_COPY_FLAGS_DEFAULT;
    if (r->MaskOn) {
        char text[64];
        const char* mask = nullptr;
        uint32_t type = 0;
        if (Dictionary_GetTypeByKey(r->Working, "mask", &type) == 1 && type == DICTIONARY_TYPE_STRING &&
            Dictionary_GetStringPtrByKey(r->Working, "mask", &mask) && mask) {
            if (!Repository_MaskBuild(r->Mask, pieceCount, mask)) {
                String_CopyLength(text, mask, sizeof(text));
                Repository_ConfigError(r, "Invalid mask field (%s)", text);
                return Start::Refused;
            }
        } else if (localId[0] && GetBool(r->Working, "autoMask", 1)) {
            flags |= STORAGE_COPY_FLAG_AUTO_MASK;
        }
    }
    StorageCopy_SetMaskBitFieldHandle(r->Copy, r->Mask);
    StorageCopy_SetMaskBitFieldHandle(r->ApplyJob, r->Mask);

    Repository_RemoteListFree(r);
    uint32_t deltaSeen = 0;
    uint32_t type = 0;
    Dictionary* remote = nullptr;
    if (Dictionary_GetTypeByKey(r->Working, "remote", &type) == 1 && type == DICTIONARY_TYPE_DICTIONARY &&
        Dictionary_GetDictionaryByKey(r->Working, "remote", &remote) && remote) {
        if (Repository_ConfigRemote(r, remote, &deltaSeen) != 1) {
            Repository_ConfigError(r, nullptr);
            return Start::Refused;
        }
    } else if (type == DICTIONARY_TYPE_LIST && Dictionary_GetListByKey(r->Working, "remote", &remote) &&
               remote) {
        uint32_t count = 0;
        Dictionary_ItemGetCount(remote, &count);
        for (uint32_t i = 0; i < count; ++i) {
            Dictionary* member = nullptr;
            if (!Dictionary_GetDictionaryByIndex(remote, (int32_t)i, &member) || !member) continue;
            if (Repository_ConfigRemote(r, member, &deltaSeen) != 1) {
                Repository_ConfigError(r, nullptr);
                return Start::Refused;
            }
        }
    }
    if (r->RemoteCount == 0) {
        Repository_ConfigError(r, "No remote sources defined");
        return Start::Refused;
    }

    Dictionary* local = nullptr;
    if (!Dictionary_GetDictionaryByKey(r->Working, "local", &local) || !local) {
        Repository_ConfigError(r, "Configuration dictionary missing %s", "local");
        return Start::Refused;
    }
    // A first installation goes into a folder that does not exist yet; so do its pending pieces,
    // which would otherwise fail one by one and be retried for ever.
    char path[kPathSize];
    for (Dictionary* storage : {local, pending})
        if (storage && GetString(storage, "path", path, (int32_t)sizeof(path)) && path[0] && !Path_Exists(path) &&
            !Platform_CreateDirectoryTree(path)) {
            StartFault(r, "make the folder", path,
                       storage == local ? REPOSITORY_SOURCE_STORAGE_LOCAL : REPOSITORY_SOURCE_STORAGE_PENDING,
                       LastErrorOr(EIO) - PLATFORM_ERROR_ERRNO_BASE);
            return Start::Retry;
        }
    uint32_t out = 0;
    if (!ConfigureStorage(r, r->Local, local, &out)) {
        Repository_ConfigError(r, nullptr);
        return Start::Refused;
    }
    BindLocal(r);
    if (out & 1) flags &= ~(uint32_t)STORAGE_COPY_FLAG_EXISTS;
    // After a stopped run no piece is taken for present from what the installed manifest says: any
    // file may hold what that run wrote. The mark is lasting before anything changes.
    if (StorageCleanup_IsUnfinished(r->Local)) {
        flags &= ~(uint32_t)STORAGE_COPY_FLAG_AUTO_MASK;
        // What it completed that this version does not list goes first: it may stand where this
        // version puts a file of another shape.
        int64_t swept = -1;
        for (int turn = 0; swept < 0 && turn < 1000; turn++)
            swept = StorageCleanup_RemoveStrayCopies(r->Local, r->RemoteMeta, 1 | STORAGE_FILE_STRAY_PENDING);
        if (const int32_t error = swept == 0 ? StorageCleanup_ReplayError(r->Local) : 0) {
            Repository_GetLocalPath(r, path, (int32_t)sizeof(path));
            StartFault(r, "remove what a stopped run left", path, REPOSITORY_SOURCE_STORAGE_LOCAL, error);
            return Start::Retry;
        }
    }
    // Nothing is changed before the mark lasts: a start that cannot write it is no start, and the
    // copy's writes wait for its flush (a sync whose mark never lasts never ends as done).
    if (MarkStart(r)) {
        r->Marking = 0;
        return Start::Retry;
    }
    r->Flushed = 0;
    r->SaveHeld = 0;
    r->SaveScratchChosen = 0;
    r->SaveScratch[0] = 0;
    r->FlushErrors = 0;
    r->FlushResume = 0;
    if (pending) {
        out = 0;
        if (!ConfigureStorage(r, r->Pending, pending, &out)) {
            Repository_ConfigError(r, nullptr);
            return Start::Refused;
        }
        r->PendingConfigured = 1;
        if (!inplace) flags |= STORAGE_COPY_FLAG_TO_PENDING;
        if (!(out & 1)) flags |= STORAGE_COPY_FLAG_PENDING;
    }
    int32_t fileCompletes = 0, requests = 0;
    if (!GetCount(r->Working, "fileCompletes", r->AppConfig, kAppConfigStorageFileCompletes, &fileCompletes)) {
        Repository_ConfigError(r, "Configuration dictionary missing %s", "fileCompletes");
        return Start::Refused;
    }
    // Without a request nothing is fetched and no error would ever tell: as good as missing.
    if (!GetCount(r->Working, "requests", r->AppConfig, kAppConfigStorageRequests, &requests) || requests < 1) {
        Repository_ConfigError(r, "Configuration dictionary missing %s", "requests");
        return Start::Refused;
    }
    Repository_RequestListResize(r, requests);

    if (r->DeltaOn && deltaSeen && localId[0]) {
        if (!StorageDelta_Configure(r->Delta, r->AppConfig, r->Working)) {
            Repository_ConfigError(r, nullptr);
            return Start::Refused;
        }
        if (!pending) {
            Repository_ConfigError(r, "Configuration dictionary missing %s", "pending");
            return Start::Refused;
        }
        if (inplace) {
            r->Apply = 1;
            flags |= STORAGE_COPY_FLAG_TO_PENDING | STORAGE_COPY_FLAG_DELTA;
        } else {
            flags |= STORAGE_COPY_FLAG_DELTA;
        }
    }
    if (r->CleanupOn && !localId[0] && !pending) r->CleanupOn = 0;

    StorageCopy_SetFileCompletesInFlightMax(r->ApplyJob, fileCompletes);
    StorageCopy_SetFlags(r->ApplyJob, 15);
    StorageCopy_Configure(r->ApplyJob);
    StorageCopy_SetFileCompletesInFlightMax(r->Copy, fileCompletes);
    StorageCopy_SetFlags(r->Copy, flags);
    StorageCopy_SetWritesHeld(r->Copy, r->Marking);
    // Its verdicts answer the automatic mask's checks where the storage is still as they were
    // judged against.
    if ((flags & STORAGE_COPY_FLAG_AUTO_MASK) && StorageFile_SweepFits(r->Local, hold.Sweep)) {
        StorageCopy_SetSweepHandle(r->Copy, hold.Sweep);
        r->Sweeping = hold.Sweep;
        hold.Sweep = nullptr;
    }
    if (!StorageCopy_Configure(r->Copy) || !StorageCopy_Start(r->Copy)) {
        Repository_ConfigError(r, nullptr);
        return Start::Refused;
    }
    r->WorkStarted = 1;
    return Start::Started;
}

// Every file the version installs is on the disk before the manifest naming it is saved: one flush
// of the installation's file system (cheaper than a sync of each file and of each folder it was
// named in). Retried like the save.
// The save's scratch is recorded before it is made, so a kill's leavings go; and before the flush,
// so the record lasts with the files (the save would make a missing folder; the record needs it).
// A record that fails is a failed save: its write is part of it, and the same faults end the work
// or are tried again. Only where no name of ours fits, or the record is another's (named), does
// the save take a name of its own.
bool SaveScratch(Repository* r, bool quiet = false) {
    if (r->SaveScratchChosen) return true;
    if (!ResumeDue(r->KeptResume)) return false;
    char directory[kPathSize];
    const char* leaf = nullptr;
    SplitPath(r->MetaFilePath, directory, (int32_t)sizeof(directory), &leaf);
    if (!Path_Exists(directory)) Platform_CreateDirectoryTree(directory);
    const int32_t error = KeptHeld(r, KeptScratch(r, leaf, r->SaveScratch, (int32_t)sizeof(r->SaveScratch)));
    // Quiet (a save begun ahead of its turn): a failure is left to that turn to meet and report.
    if (quiet && error > 0 && error != ENAMETOOLONG) return false;
    if (error > 0 && error != ENAMETOOLONG) {
        char path[kPathSize];
        KeptRecordPath(r, path, (int32_t)sizeof(path));
        Repository_Print(r, "Failed to record the metafile's scratch (%s) (%d)", LogText(path).Text,
                         PLATFORM_ERROR_ERRNO_BASE + error);
        Repository_Error(r, REPOSITORY_SOURCE_METAFILE_REMOTE, -1, r->KeptErrors++, REPOSITORY_TYPE_WRITE,
                         STORAGE_ERROR_OS, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error), &r->KeptResume);
        return false;
    }
    r->SaveScratchChosen = 1;
    return true;
}

// A flush before the save that failed (what: the part flushed, at path; error: the errno value):
// named, and the save waits for the retry its error's answer sets.
void FlushFault(Repository* r, const char* what, const char* path, int32_t source, int32_t error) {
    Repository_Print(r, "Failed to flush the %s (%s) (%d)", what, LogText(path).Text,
                     PLATFORM_ERROR_ERRNO_BASE + error);
    Repository_Error(r, source, -1, r->FlushErrors++, REPOSITORY_TYPE_WRITE, STORAGE_ERROR_OS,
                     (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error), &r->FlushResume);
}

bool Flushed(Repository* r) {
    if (r->Flushed && !r->ReplacedUnflushed) return true;
    if (!ResumeDue(r->FlushResume)) return false;
    if (!r->Flushed) {
        if (const int32_t error = StorageCleanup_Flush(r->Local)) {
            char local[kPathSize];
            Repository_GetLocalPath(r, local, (int32_t)sizeof(local));
            FlushFault(r, "installation", local, REPOSITORY_SOURCE_STORAGE_LOCAL, error);
            return false;
        }
        r->Flushed = 1;
    }
    if (r->ReplacedUnflushed) {
        // The folder that names the replaced manifest and the record. A file system that refuses to
        // flush a folder on its own (EINVAL) keeps it with its files.
        int32_t folder = -1, error = 0;
        const char* leaf = nullptr;
        if ((error = OpenManifestFolder(r, &folder, &leaf)) == 0) {
            if ((error = StorageFileOS_SyncFile(folder)) == EINVAL) error = 0;
            StorageFileOS_Close(&folder);
        }
        if (error) {
            char path[kPathSize];
            ReplacedName(r, path, (int32_t)sizeof(path));
            FlushFault(r, "replaced metafile", path, REPOSITORY_SOURCE_METAFILE_REMOTE, error);
            return false;
        }
        r->ReplacedUnflushed = 0;
    }
    return true;
}

void StartCleanups(Repository* r, bool sync) {
    if (sync ? !(r->StateFlags & REPOSITORY_STATEFLAG_INSTALL) : true) {
        if (!StorageCleanup_IsComplete(r->LocalCleanup) && !StorageCleanup_IsAlive(r->LocalCleanup)) {
            StorageCleanup_SetSourceMetaFileHandle(r->LocalCleanup, r->LocalMeta);
            if (sync)
                StorageCleanup_SetDestMetaFileHandle(r->LocalCleanup, r->RemoteMeta);
            else
                StorageCleanup_SetBlankDestMetaFileHandle(r->LocalCleanup);
            StorageCleanup_SetPrintIdentifier(r->LocalCleanup, "Cleaning");
            if (!StorageCleanup_Start(r->LocalCleanup)) StorageCleanup_Shutdown(r->LocalCleanup);
        }
    }
    if (r->PendingConfigured && !StorageCleanup_IsComplete(r->PendingCleanup) &&
        !StorageCleanup_IsAlive(r->PendingCleanup)) {
        StorageCleanup_SetSourceMetaFileHandle(r->PendingCleanup, r->RemoteMeta);
        StorageCleanup_SetBlankDestMetaFileHandle(r->PendingCleanup);
        StorageCleanup_SetPrintIdentifier(r->PendingCleanup, "Cleaning Pending");
        if (!StorageCleanup_Start(r->PendingCleanup)) StorageCleanup_Shutdown(r->PendingCleanup);
    }
}

// Whether this sync keeps the installed manifest aside before its save (KeepReplaced): an update
// whose cleanup removes what the new version drops.
bool KeepsReplaced(const Repository* r) {
    return r->CleanupOn && !(r->StateFlags & REPOSITORY_STATEFLAG_INSTALL) && r->LocalMetaConfigured;
}

void SyncWork(Repository* r) {
    if (!(r->StateFlags & REPOSITORY_STATEFLAG_CATALOG))
        Debug_Abort("Repository refresh must be called before sync");
    if (!IsRemoteMetaLoaded(r)) {
        double resume = 0;
        MetaFile_GetResumeTime(r->RemoteMeta, &resume);
        if (!MetaFile_IsAlive(r->RemoteMeta) && ResumeDue(resume)) {
            char location[kPathSize];
            bool fromCatalog = false;
            const char* text = nullptr;
            Text read = Dictionary_GetStringPtrByPath(r->Config, "remote.metafile", &text) == 1
                            ? Whole(text, location, (int32_t)sizeof(location))
                            : ReadString(r->Config, "remote.metafile", location, (int32_t)sizeof(location));
            if (read == Text::TooLong) {
                Repository_ConfigError(r, "Configuration dictionary invalid %s (too long)", "remote.metafile");
                Repository_SetSync(r, 0);
                return;
            }
            if (read == Text::Absent) {
                fromCatalog = Catalog_GetMetaFile(r->CatalogDoc, location, (int32_t)sizeof(location)) == 1;
                if (!fromCatalog) {
                    Repository_ConfigError(r, "Configuration dictionary missing %s", "remote.metafile");
                    Repository_SetSync(r, 0);
                    return;
                }
            }
            char url[kPathSize];
            // A catalogue the local configuration names by a local address may name local
            // manifests; one that came from the web names web addresses only.
            if (fromCatalog && IsWebAddress(r->CatalogUrl)) {
                if (!Repository_CatalogManifestUrl(r->CatalogUrl, location, url, (int32_t)sizeof(url))) {
                    Repository_Print(r, "Catalog key ignored (metafile) (%s)", r->CatalogUrl);
                    Repository_ConfigError(r, "Catalog names no http or https metafile (%s)", r->CatalogUrl);
                    Repository_SetSync(r, 0);
                    return;
                }
            } else if (!LocationToUrl(location, url, (int32_t)sizeof(url))) {
                Repository_ConfigError(r, "Metafile URL too long (%s)", LogText(location).Text);
                Repository_SetSync(r, 0);
                return;
            }
            Repository_Print(r, "Loading remote metafile (%s)", url);
            // A configured digest that cannot be read whole or taken is refused: read as absent it
            // would load the manifest unchecked.
            char digest[REPOSITORY_REMOTE_ID_SIZE];
            const Text digestRead = ReadString(r->Config, "metafileDigest", digest, (int32_t)sizeof(digest));
            if (digestRead == Text::TooLong ||
                (digestRead == Text::Found && digest[0] && !MetaFile_SetDigest(r->RemoteMeta, digest))) {
                Repository_ConfigError(r, "Configuration dictionary invalid %s", "metafileDigest");
                Repository_SetSync(r, 0);
                return;
            }
            if (digestRead != Text::Found || !digest[0]) MetaFile_SetDigest(r->RemoteMeta, "");
            // Names the installation could never act on are refused with the manifest, not
            // retried one by one; the copies' suffix is the local configuration's.
            char suffix[32], kept[kPathSize];
            CopySuffix(r, suffix, (int32_t)sizeof(suffix));
            KeptName(r, kept, (int32_t)sizeof(kept));
            MetaFile_SetNameCheck(r->RemoteMeta, 1, suffix, kept);
            String_CopyLength(r->RemoteMetaUrl, url, (int32_t)sizeof(r->RemoteMetaUrl));
            // Each load gets a sweep of its own: one tried again later judges the files anew. It
            // starts once the manifest's bytes are in, beside their parse.
            DropSweep(r);
            r->SweepWanted = 1;
            MetaFile_Load(r->RemoteMeta, url, Verify(r, url));
        } else if (r->SweepWanted && MetaFile_IsAlive(r->RemoteMeta) && MetaFile_IsBodyIn(r->RemoteMeta)) {
            StartSweep(r);
        }
    } else if (StorageCopy_IsAlive(r->Copy) && r->Marking) {
        MarkLasting(r);
    } else if (r->Marking && StorageCopy_IsComplete(r->Copy)) {
        // Nothing follows the copy before the mark lasts.
        MarkLasting(r);
    } else if (StorageCopy_IsComplete(r->Copy)) {
        // No check is left to ask the sweep: what it has not reached is not judged.
        DropSweep(r);
        double resume = 0;
        if (r->Apply && !StorageCopy_IsComplete(r->ApplyJob)) {
            if (!StorageCopy_IsAlive(r->ApplyJob)) {
                StorageCopy_Start(r->ApplyJob);
                r->WorkStarted = 1;
            }
        } else if (r->Replaced == kReplacedLeft) {
            // What a cut run's cleanup left goes before this version's own: files the installed
            // manifest no longer lists, which nothing would name again.
            FinishReplaced(r, true);
        } else if (r->ReplacedUnread) {
            // Nothing is saved or dropped before the replaced manifest is known (NoteReplaced).
        } else if (r->MetaFileSave &&
                   !(MetaFile_IsSaveComplete(r->RemoteMeta) && MetaFile_IsOk(r->RemoteMeta))) {
            // The new version is installed (its manifest saved) before anything of the old one
            // goes: until then the installed manifest still lists the files it drops, and a run
            // that stops before the save must find them all. The old manifest is kept beside it
            // first, for a run cut before those files are gone.
            if (r->Replaced != kReplacedKept && r->Replaced != kReplacedHeld && KeepsReplaced(r)) {
                if (ResumeDue(r->ReplacedResume)) {
                    int32_t error = KeepReplaced(r), dropped = 0;
                    if (!error) {
                        r->Replaced = kReplacedKept;
                    } else if (error == -2 && (dropped = StorageCleanup_RecordDropped(r->Local, r->RemoteMeta)) == 0) {
                        // Its name is held by what is not the repository's: the update goes on
                        // without it, the files this version drops recorded by identity instead
                        // (and flushed with the installation before the save), so that a run cut
                        // after the save still removes them, and nothing else.
                        r->Replaced = kReplacedHeld;
                    } else {
                        char path[kPathSize];
                        ReplacedName(r, path, (int32_t)sizeof(path));
                        if (dropped) {
                            error = PLATFORM_ERROR_ERRNO_BASE + dropped;
                            Repository_GetLocalPath(r, path, (int32_t)sizeof(path));
                            Repository_Print(r, "Failed to record the files the update drops (%s) (%d)",
                                             LogText(path).Text, error);
                        } else {
                            Repository_Print(r, "Failed to keep the replaced metafile (%s)", LogText(path).Text);
                        }
                        // Its write is part of the save: the same faults end the work.
                        Repository_Error(r, REPOSITORY_SOURCE_METAFILE_REMOTE, -1, r->ReplacedErrors++,
                                         REPOSITORY_TYPE_WRITE, STORAGE_ERROR_OS, (uint32_t)error,
                                         &r->ReplacedResume);
                    }
                }
            } else if (r->SaveHeld) {
                // Begun while the copy ran: renamed into place once its bytes are written and the
                // installation is flushed. One whose write failed was dropped: the save is then made
                // as any, and meets and reports the fault itself.
                if (MetaFile_IsSaveWritten(r->RemoteMeta)) {
                    if (Flushed(r)) {
                        Repository_Print(r, "Saving metafile (%s)", r->MetaFilePath);
                        r->SaveHeld = 0;
                        r->Flushed = 0;
                        MetaFile_SaveCommit(r->RemoteMeta);
                    }
                } else if (!MetaFile_IsAlive(r->RemoteMeta)) {
                    r->SaveHeld = 0;
                }
            } else {
                MetaFile_GetResumeTime(r->RemoteMeta, &resume);
                if (!MetaFile_IsAlive(r->RemoteMeta) && ResumeDue(resume) && SaveScratch(r) && Flushed(r)) {
                    Repository_Print(r, "Saving metafile (%s)", r->MetaFilePath);
                    MetaFile_SetHashAlgorithm(r->RemoteMeta, "SHA256");
                    MetaFile_Save(r->RemoteMeta, r->MetaFilePath, r->SaveScratch[0] ? r->SaveScratch : nullptr);
                    // A save tried again records a scratch name of its own, and flushes that first.
                    r->SaveScratchChosen = 0;
                    r->Flushed = 0;
                }
            }
        } else if (r->CleanupOn && !Repository_IsCleanupComplete(r)) {
            // Installed: the replay that ends the cleanup lets the unfinished mark go.
            StorageCleanup_SetFinished(r->Local);
            StartCleanups(r, true);
        } else if (r->Replaced != kReplacedNone) {
            // The cleanup it was kept for has ended.
            DropReplaced(r);
        } else if (!r->StraySwept) {
            if (!ResumeDue(r->StrayResume)) return;
            StorageCleanup_SetFinished(r->Local);
            // The copies a killed run recorded and left go with every completed sync; the cleanup
            // of the installation's folder does this as it ends, so a sync that ran it does not do
            // it again. Nothing the storage did not record making is judged.
            const int64_t swept = r->CleanupOn && !(r->StateFlags & REPOSITORY_STATEFLAG_INSTALL)
                                      ? 1
                                      : StorageCleanup_RemoveStrayCopies(r->Local, r->RemoteMeta);
            // A long record is worked through over several turns, so a stop is never held up.
            if (swept >= 0) r->StraySwept = 1;
            if (swept == 0) {
                Repository_Print(r, "Stray copies left in the installation's folder");
                // A replay that failed to write down or remove what it had to fails the sync, and
                // is tried again when the answer says: the record still names every copy.
                if (const int32_t error = StorageCleanup_ReplayError(r->Local)) {
                    r->StraySwept = 0;
                    Repository_Error(r, REPOSITORY_SOURCE_STORAGE_LOCAL, -1, r->StrayErrors++, REPOSITORY_TYPE_ERASE,
                                     STORAGE_ERROR_OS, (uint32_t)(PLATFORM_ERROR_ERRNO_BASE + error),
                                     &r->StrayResume);
                }
            }
        } else if (!r->MetaFileSave || KeptDropped(r)) {
            // The save's scratch names went with it, and what stopped saves left: nothing the record
            // names is left.
            Repository_SetSync(r, 0);
        }
    } else if (!StorageCopy_IsAlive(r->Copy)) {
        // A start a fault stopped is tried again when its answer says; one refused ends the sync,
        // its configuration error recorded (the task fails on it).
        if (ResumeDue(r->StartResume) && SyncStart(r) == Start::Refused) Repository_SetSync(r, 0);
    }
    StorageCopy_Process(r->Copy);
    StorageCopy_Process(r->ApplyJob);
    // The installed manifest is kept aside while the copy runs, once its mark lasts: it has to be
    // before the save, and the copy's transfers go on meanwhile (those it fetches first, then its
    // checks, leave the thread no pass idle to wait for). Anything but success is left to the turn
    // before the save, which reports it.
    const bool copying = StorageCopy_IsAlive(r->Copy) && !StorageCopy_IsComplete(r->Copy) && !r->Marking;
    if (copying && r->MetaFileSave && r->Replaced == kReplacedNone && !r->ReplacedUnread && KeepsReplaced(r) &&
        ResumeDue(r->ReplacedResume) && KeepReplaced(r) == 0)
        r->Replaced = kReplacedKept;
    // So is the save's new file written, its rename held until the copy has ended and the
    // installation is flushed (above); a save that cannot begin now begins in its own turn.
    double resume = 0;
    MetaFile_GetResumeTime(r->RemoteMeta, &resume);
    if (copying && r->MetaFileSave && !r->SaveHeld && !MetaFile_IsAlive(r->RemoteMeta) && ResumeDue(resume)) {
        // Tried once a sync.
        r->SaveHeld = 2;
        if (SaveScratch(r, true)) {
            MetaFile_SetHashAlgorithm(r->RemoteMeta, "SHA256");
            if (MetaFile_SaveHeld(r->RemoteMeta, r->MetaFilePath, r->SaveScratch[0] ? r->SaveScratch : nullptr)) {
                r->SaveHeld = 1;
                r->SaveScratchChosen = 0;
            }
        }
    }
}

// ---- Erase ------------------------------------------------------------------------------------------

void EraseWork(Repository* r) {
    if (Storage_HasInterface(r->Local)) {
        if (r->Replaced == kReplacedLeft) {
            FinishReplaced(r, false);
        } else if (r->ReplacedUnread) {
            // As for a sync: the replaced manifest is known first.
        } else if (r->CleanupOn && !Repository_IsCleanupComplete(r)) {
            // Erased: the replay that ends the cleanup lets the unfinished mark go.
            StorageCleanup_SetFinished(r->Local);
            StartCleanups(r, false);
        } else if (r->Replaced != kReplacedNone) {
            DropReplaced(r);
        } else if (r->MetaFileSave && r->LocalMetaConfigured && r->MetaFilePath[0] &&
                   Path_Exists(r->MetaFilePath)) {
            if (!ResumeDue(r->ResumeTime)) return;
            if (!KeptDropped(r)) return;
            Repository_Print(r, "Erasing MetaFile (%s)", r->MetaFilePath);
            const int32_t error = EraseMetaFile(r);
            if (error) {
                Repository_Error(r, REPOSITORY_SOURCE_METAFILE_LOCAL, -1, 0, REPOSITORY_TYPE_ERASE,
                                 STORAGE_ERROR_OS, (uint32_t)error, &r->ResumeTime);
            }
        } else {
            Repository_SetErase(r, 0);
        }
        return;
    }
    char localId[REPOSITORY_REMOTE_ID_SIZE];
    Repository_GetLocalId(r, localId, (int32_t)sizeof(localId));
    if (!localId[0]) {
        Repository_SetErase(r, 0);
        return;
    }
    Dictionary* local = nullptr;
    Dictionary* pending = nullptr;
    int32_t requests = 0;
    if (!Dictionary_GetDictionaryByKey(r->Config, "local", &local) || !local) {
        Repository_ConfigError(r, "Configuration dictionary missing %s", "local");
        Repository_SetErase(r, 0);
        return;
    }
    if (!ConfigureStorage(r, r->Local, local, nullptr)) {
        Repository_ConfigError(r, nullptr);
        Repository_SetErase(r, 0);
        return;
    }
    BindLocal(r);
    if (Dictionary_GetDictionaryByKey(r->Config, "pending", &pending) && pending) {
        if (!ConfigureStorage(r, r->Pending, pending, nullptr)) {
            Repository_ConfigError(r, nullptr);
            Repository_SetErase(r, 0);
            return;
        }
        r->PendingConfigured = 1;
    }
    if (!GetCount(r->Config, "requests", r->AppConfig, kAppConfigStorageRequests, &requests)) {
        Repository_ConfigError(r, "Configuration dictionary missing %s", "requests");
        Repository_SetErase(r, 0);
        return;
    }
    Repository_RequestListResize(r, requests);
    r->WorkStarted = 1;
}

// ---- Timers -----------------------------------------------------------------------------------------

int32_t TimerIndex(uint32_t bit) {
    const int32_t index = (int32_t)bit + 1;
    if (index >= 32) Debug_Abort("Index exceeds state range");
    return index;
}

void UpdateTimers(Repository* r, uint32_t flags, double now) {
    const uint32_t timed =
        (r->ActionFlags & REPOSITORY_ACTION_ACTIVE) ? flags : (flags & REPOSITORY_STATEFLAG_PAUSED);
    for (uint32_t bit = 0; bit <= 30; ++bit) {
        const uint32_t mask = 1u << bit;
        const int32_t index = TimerIndex(bit);
        const bool was = (r->TimerFlags & mask) != 0, is = (timed & mask) != 0;
        if (is && !was)
            r->TimerStart[index] = now;
        else if (!is && was) {
            r->TimerTotal[index] += now - r->TimerStart[index];
            r->TimerStart[index] = now;
        }
    }
    r->TimerFlags = timed;
}

double TimerOf(Repository* r, uint32_t flag) {
    double seconds = 0;
    Repository_StateTimerGet(r, flag, &seconds);
    return seconds;
}

void StopMessage(Repository* r, const char* format, uint32_t flag) {
    Repository_Print(r, format, r->Name, TimerOf(r, flag));
}

void DumpToLog(Repository* r) {
    Dictionary* status = nullptr;
    Dictionary_Create(&status);
    Repository_Dump(r, status);
    Dictionary_Dump(status);
    Dictionary_Release(&status);
}

} // namespace

int32_t Repository_KeptAt(Repository* repository, const char* name) {
    int32_t folder = -1;
    const char* leaf = nullptr;
    if (!repository->MetaFilePath[0] || OpenManifestFolder(repository, &folder, &leaf) != 0) return 2;
    const Kept kept = KeptAt(repository, folder, leaf, name);
    StorageFileOS_Close(&folder);
    return kept == Kept::None ? 0 : kept == Kept::Ours ? 1 : 2;
}

int32_t Repository_KeptScratch(Repository* repository, char* scratch, int32_t size) {
    const char* leaf = nullptr;
    char directory[kPathSize];
    scratch[0] = 0;
    if (!repository->MetaFilePath[0]) return ENOENT;
    SplitPath(repository->MetaFilePath, directory, (int32_t)sizeof(directory), &leaf);
    return KeptHeld(repository, KeptScratch(repository, leaf, scratch, size));
}

int32_t Repository_KeptClear(Repository* repository) {
    return KeptClear(repository);
}

CLASS_PRINT_FAMILY(Repository, Repository, REPOSITORY_CLASS_ID, Prepare)

// Page script holds the repository while it references it.
int64_t Repository_Notification_OnInteropReference(void* user, const char*, const char*, const char*,
                                                   Dictionary* info) {
    Repository* r = static_cast<Repository*>(user);
    uint32_t addRef = 0;
    if (info) Dictionary_GetBooleanByKey(info, "addRef", &addRef);
    if (addRef)
        Repository_AddRef(r);
    else
        Repository_Release(&r);
    return 1;
}

int64_t Repository_StoragePrint(void* user, const char* format, ...) {
    Repository* r = static_cast<Repository*>(user);
    va_list args;
    va_start(args, format);
    const int64_t result = Repository_VPrint(r, 1, format, args);
    va_end(args);
    return result;
}

int64_t Repository_MaskBuild(BitField* mask, int32_t pieceCount, const char* text) {
    BitField_SetTotalBits(mask, pieceCount);
    BitField_ClearAll(mask);
    BitField* wanted = nullptr;
    BitField_Create(&wanted);
    int32_t bits = 0;
    // The text may carry more bits than pieces (whole bytes), never fewer.
    const bool ok = BitField_FromBase64String(wanted, text) == 1 && BitField_GetTotalBits(wanted, &bits) &&
                    bits >= pieceCount;
    if (ok)
        for (int32_t i = 0; i < pieceCount; ++i)
            if (BitField_IsSet(wanted, i)) BitField_Set(mask, i);
    BitField_Release(&wanted);
    if (!ok) return 0;
    BitField_Invert(mask);
    return 1;
}

void Repository_ConfigError(Repository* r, const char* format, ...) {
    if (format) {
        va_list args;
        va_start(args, format);
        Repository_VPrint(r, 0, format, args);
        va_end(args);
    }
    r->ErrorCount++;
    r->LastError[0] = REPOSITORY_SOURCE_CONFIG;
    r->LastError[1] = -1;
    r->LastError[2] = REPOSITORY_TYPE_CONFIG;
    r->LastError[3] = REPOSITORY_ERROR_CONFIG;
    r->LastError[4] = 0;
}

// ---- Life ---------------------------------------------------------------------------------------------

int64_t Repository_Create(Repository** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* r = static_cast<Repository*>(Memory_AllocZero(sizeof(Repository)));
    r->Header.ClassId = REPOSITORY_CLASS_ID;
    r->Header.RefCount = 1;
    r->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(r);
    // Page script finds the repository by its id (QVR.Repository).
    Class_TrackInstance(r, r->Header.InstanceId, nullptr);
    Alias_Create(&r->AliasDoc);
    Alias_SetErrorCallback(r->AliasDoc, r, Repository_AliasError);
    Catalog_Create(&r->CatalogDoc);
    Catalog_SetErrorCallback(r->CatalogDoc, r, Repository_CatalogError);
    Storage_Create(&r->Local);
    Storage_Create(&r->Pending);
    Storage_SetPrintCallback(r->Local, r, Repository_StoragePrint);
    Storage_SetPrintCallback(r->Pending, r, Repository_StoragePrint);
    const struct {
        StorageCopy** Job;
        double Piece, File;
    } jobs[] = {{&r->Copy, 0.8, 0.2}, {&r->ApplyJob, 0.6, 0.4}};
    for (const auto& j : jobs) {
        StorageCopy_Create(j.Job);
        StorageCopy_SetDestHandle(*j.Job, r->Local);
        StorageCopy_SetPendingHandle(*j.Job, r->Pending);
        StorageCopy_SetSourceCallback(*j.Job, r, Repository_GetLeastUsedMember);
        StorageCopy_SetErrorCallback(*j.Job, r, Repository_CopyErrorCallback);
        StorageCopy_SetRequestAcquireCallback(*j.Job, r, Repository_RequestAcquire);
        StorageCopy_SetRequestReleaseCallback(*j.Job, r, Repository_RequestRelease);
        StorageCopy_SetPieceWeight(*j.Job, j.Piece);
        StorageCopy_SetFileWeight(*j.Job, j.File);
    }
    WireCleanup(r, &r->LocalCleanup, r->Local, false);
    WireCleanup(r, &r->PendingCleanup, r->Pending, true);
    Dictionary_Create(&r->Config);
    StorageDelta_Create(&r->Delta);
    StorageDelta_SetSourceHandle(r->Delta, r->Local);
    BitField_Create(&r->Mask);
    MetaFile_Create(&r->LocalMeta);
    MetaFile_SetReportError(r->LocalMeta, 0);
    MetaFile_SetErrorCallback(r->LocalMeta, r, Repository_MetaFileLocalError);
    MetaFile_Create(&r->RemoteMeta);
    MetaFile_SetKeepOriginal(r->RemoteMeta, 1);
    MetaFile_SetErrorCallback(r->RemoteMeta, r, Repository_MetaFileRemoteError);
    // Read back only to finish a cleanup: a failure to read it is told where it is used.
    MetaFile_Create(&r->ReplacedMeta);
    MetaFile_SetReportError(r->ReplacedMeta, 0);
    for (MeterRW** meter : {&r->LocalMeter, &r->RemoteMeter}) {
        MeterRW_Create(meter);
        MeterRW_SetReadParentHandle(*meter, Meter_RootHandle());
        MeterRW_SetWriteParentHandle(*meter, Meter_RootHandle());
    }
    NotificationCenter_AddInstanceObserver("NotificationCenter", "Interop", r->Header.InstanceId, r,
                                           Repository_Notification_OnInteropReference);
    r->CleanupOn = r->CatalogOn = r->DeltaOn = 1;
    r->MetaFileSave = 1;
    r->StallTime = 30.0;
    r->ThreadId = Thread_GetCurrentId();
    r->LastError[1] = -1;
    *handle = r;
    return 1;
}

CLASS_BASICS(Repository, Repository, REPOSITORY_CLASS_ID)

int64_t Repository_ValidHandle(Repository* repository) {
    return repository && repository->Header.ClassId == REPOSITORY_CLASS_ID ? 1 : 0;
}

int64_t Repository_Delete(Repository** handle) {
    ASSERT_POINTER(handle);
    Repository* r = *handle;
    CLASS_CHECK(r, REPOSITORY_CLASS_ID);
    NotificationCenter_RemoveInstanceObserver("NotificationCenter", "Interop", r->Header.InstanceId, r,
                                              Repository_Notification_OnInteropReference);
    Class_UntrackInstance(r);
    Repository_Shutdown(r);
    DropSweep(r);
    StorageCopy_Shutdown(r->Copy);
    StorageCopy_Shutdown(r->ApplyJob);
    StorageCleanup_Shutdown(r->LocalCleanup);
    StorageCleanup_Shutdown(r->PendingCleanup);
    if (r->Queue) EventQueue_RemoveInstance(r->Queue, r);
    Repository_RequestListResize(r, 0);
    StorageCopy_Release(&r->Copy);
    StorageCopy_Release(&r->ApplyJob);
    StorageCleanup_Release(&r->LocalCleanup);
    StorageCleanup_Release(&r->PendingCleanup);
    Repository_RemoteListFree(r);
    Alias_Release(&r->AliasDoc);
    Catalog_Release(&r->CatalogDoc);
    StorageDelta_Release(&r->Delta);
    Storage_Release(&r->Local);
    Storage_Release(&r->Pending);
    MetaFile_Release(&r->LocalMeta);
    MetaFile_Release(&r->RemoteMeta);
    MetaFile_Release(&r->ReplacedMeta);
    BitField_Release(&r->Mask);
    MeterRW_Release(&r->LocalMeter);
    MeterRW_Release(&r->RemoteMeter);
    Dictionary_Release(&r->Config);
    if (r->Working) Dictionary_Release(&r->Working);
    if (r->Queue) EventQueue_Release(&r->Queue);
    Memory_Free(r, sizeof(Repository));
    *handle = nullptr;
    return 1;
}

// ---- Configuration --------------------------------------------------------------------------------

int64_t Repository_SetConfigDictionaryHandle(Repository* repository, Dictionary* dict) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    DropSweep(r);
    Dictionary_Reset(r->Config);
    if (dict) Dictionary_Merge(r->Config, dict, DICTIONARY_MERGE_OVERWRITE);
    const char* metafile = nullptr;
    uint32_t type = 0;
    r->MetaFilePath[0] = 0;
    if (Dictionary_GetTypeByKey(r->Config, "metafile", &type) && type == DICTIONARY_TYPE_STRING &&
        Dictionary_GetStringPtrByKey(r->Config, "metafile", &metafile) && metafile) {
        // A path cut to fit would save and erase some other file.
        if (strlen(metafile) >= sizeof(r->MetaFilePath)) {
            r->LocalMetaConfigured = r->MetaFileSave = 0;
            Repository_ConfigError(r, "Configuration dictionary invalid %s", "metafile");
            return 0;
        }
        String_CopyLength(r->MetaFilePath, metafile, (int32_t)sizeof(r->MetaFilePath));
    }
    r->LocalMetaConfigured = r->MetaFilePath[0] ? 1 : 0;
    if (!r->LocalMetaConfigured) r->MetaFileSave = 0;
    if (!GetString(r->Config, "repository", r->Name, (int32_t)sizeof(r->Name))) {
        Repository_ConfigError(r, "Configuration dictionary missing %s", "repository");
        return 0;
    }
    return 1;
}

int64_t Repository_GetConfigDictionaryHandle(Repository* repository, Dictionary** dict) {
    ASSERT_POINTER(dict);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *dict = repository->Config;
    return 1;
}

int64_t Repository_SetConfigHandle(Repository* repository, Dictionary* appConfig) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    r->AppConfig = appConfig;
    int32_t size = 0;
    if (appConfig && Dictionary_GetInt32ByPath(appConfig, kAppConfigMetafileLimitSize, &size)) {
        MetaFile_SetLimitSize(r->LocalMeta, size);
        MetaFile_SetLimitSize(r->RemoteMeta, size);
        MetaFile_SetLimitSize(r->ReplacedMeta, size);
    }
    if (appConfig && Dictionary_GetInt32ByPath(appConfig, kAppConfigCatalogLimitSize, &size))
        Catalog_SetLimitSize(r->CatalogDoc, size);
    if (appConfig && Dictionary_GetInt32ByPath(appConfig, kAppConfigAliasLimitSize, &size))
        Alias_SetLimitSize(r->AliasDoc, size);
    return 1;
}

int64_t Repository_GetConfigHandle(Repository* repository, Dictionary** appConfig) {
    ASSERT_POINTER(appConfig);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *appConfig = repository->AppConfig;
    return 1;
}

int64_t Repository_SetEventQueueHandle(Repository* repository, EventQueue* queue) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    if (queue) EventQueue_AddRef(queue);
    if (r->Queue) EventQueue_Release(&r->Queue);
    r->Queue = queue;
    Alias_SetEventQueueHandle(r->AliasDoc, queue);
    Catalog_SetEventQueueHandle(r->CatalogDoc, queue);
    MetaFile_SetEventQueueHandle(r->LocalMeta, queue);
    MetaFile_SetEventQueueHandle(r->RemoteMeta, queue);
    MetaFile_SetEventQueueHandle(r->ReplacedMeta, queue);
    Storage_SetEventQueueHandle(r->Local, queue);
    Storage_SetEventQueueHandle(r->Pending, queue);
    StorageCopy_SetEventQueueHandle(r->Copy, queue);
    StorageCopy_SetEventQueueHandle(r->ApplyJob, queue);
    StorageCleanup_SetEventQueueHandle(r->LocalCleanup, queue);
    StorageCleanup_SetEventQueueHandle(r->PendingCleanup, queue);
    return 1;
}

int64_t Repository_GetEventQueueHandle(Repository* repository, EventQueue** queue) {
    ASSERT_POINTER(queue);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *queue = repository->Queue;
    return 1;
}

int64_t Repository_SetCertStoreHandle(Repository* repository, CertStoreInterface* store) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    repository->CertStore = store;
    Alias_SetCertStoreHandle(repository->AliasDoc, store);
    Catalog_SetCertStoreHandle(repository->CatalogDoc, store);
    MetaFile_SetCertStoreHandle(repository->LocalMeta, store);
    MetaFile_SetCertStoreHandle(repository->RemoteMeta, store);
    MetaFile_SetCertStoreHandle(repository->ReplacedMeta, store);
    return 1;
}

#define REPOSITORY_FLAG_ACCESSORS(Name, Field)                                                               \
    int64_t Repository_Set##Name(Repository* repository, uint32_t on) {                                      \
        CLASS_CHECK(repository, REPOSITORY_CLASS_ID);                                                        \
        repository->Field = on ? 1 : 0;                                                                      \
        return 1;                                                                                            \
    }                                                                                                        \
    int64_t Repository_Get##Name(Repository* repository, uint32_t* on) {                                     \
        ASSERT_POINTER(on);                                                                                  \
        CLASS_CHECK(repository, REPOSITORY_CLASS_ID);                                                        \
        *on = repository->Field;                                                                             \
        return 1;                                                                                            \
    }
REPOSITORY_FLAG_ACCESSORS(Authenticate, Authenticate)
REPOSITORY_FLAG_ACCESSORS(Catalog, CatalogOn)
REPOSITORY_FLAG_ACCESSORS(Delta, DeltaOn)
REPOSITORY_FLAG_ACCESSORS(Mask, MaskOn)

int64_t Repository_SetStallTime(Repository* repository, double seconds) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    repository->StallTime = seconds;
    return 1;
}

int64_t Repository_GetStallTime(Repository* repository, double* seconds) {
    ASSERT_POINTER(seconds);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *seconds = repository->StallTime;
    return 1;
}

int64_t Repository_SetThreadId(Repository* repository, uint32_t threadId) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    r->ThreadId = threadId;
    // Their completions wake the thread that runs the repository, which may not be the one that
    // made them: signalled elsewhere, its driver would sleep out each wait with work to do.
    StorageCopy_SetThreadId(r->Copy, threadId);
    StorageCopy_SetThreadId(r->ApplyJob, threadId);
    StorageCleanup_SetThreadId(r->LocalCleanup, threadId);
    StorageCleanup_SetThreadId(r->PendingCleanup, threadId);
    return 1;
}

int64_t Repository_GetThreadId(Repository* repository, uint32_t* threadId) {
    ASSERT_POINTER(threadId);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *threadId = repository->ThreadId;
    return 1;
}

int64_t Repository_SetStateFlagChangeCallback(Repository* repository, void* user,
                                              RepositoryFlagChangeFunc fn) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    repository->StateUser = user;
    repository->StateFn = fn;
    return 1;
}

int64_t Repository_SetActionFlagChangeCallback(Repository* repository, void* user,
                                               RepositoryFlagChangeFunc fn) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    repository->ActionUser = user;
    repository->ActionFn = fn;
    return 1;
}

// ---- Actions ----------------------------------------------------------------------------------------

int64_t Repository_SetActionFlags(Repository* repository, uint32_t flags) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    const uint32_t old = r->ActionFlags;
    if (old == flags) return 1;
    r->ActionFlags = flags;
    if ((old & REPOSITORY_ACTION_SYNC) && !(flags & REPOSITORY_ACTION_SYNC)) {
        DropSweep(r);
        StorageCopy_Shutdown(r->Copy);
        StorageCopy_Shutdown(r->ApplyJob);
        StorageCleanup_Shutdown(r->LocalCleanup);
        StorageCleanup_Shutdown(r->PendingCleanup);
    }
    if ((old & REPOSITORY_ACTION_ERASE) && !(flags & REPOSITORY_ACTION_ERASE)) {
        StorageCleanup_Shutdown(r->LocalCleanup);
        StorageCleanup_Shutdown(r->PendingCleanup);
    }
    if (r->ActionFn) r->ActionFn(r, r->ActionUser, old, flags);
    return 1;
}

static int64_t SetAction(Repository* r, uint32_t flag, uint32_t on) {
    CLASS_CHECK(r, REPOSITORY_CLASS_ID);
    return Repository_SetActionFlags(r, on ? (r->ActionFlags | flag) : (r->ActionFlags & ~flag));
}

int64_t Repository_SetSync(Repository* repository, uint32_t on) {
    return SetAction(repository, REPOSITORY_ACTION_SYNC, on);
}
int64_t Repository_SetRefresh(Repository* repository, uint32_t on) {
    return SetAction(repository, REPOSITORY_ACTION_REFRESH, on);
}
int64_t Repository_SetErase(Repository* repository, uint32_t on) {
    return SetAction(repository, REPOSITORY_ACTION_ERASE, on);
}
int64_t Repository_SetActive(Repository* repository, uint32_t on) {
    return SetAction(repository, REPOSITORY_ACTION_ACTIVE, on);
}

int64_t Repository_IsFailed(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    return repository->Failed ? 1 : 0;
}

int64_t Repository_Reset(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    r->ErrorCount = 0;
    memset(r->LastError, 0, sizeof(r->LastError));
    r->LastError[1] = -1;
    r->DeltaFailures = 0;
    r->Failed = 0;
    MeterRW_ResetCounters(r->LocalMeter);
    MeterRW_ResetCounters(r->RemoteMeter);
    memset(r->TimerStart, 0, sizeof(r->TimerStart));
    memset(r->TimerTotal, 0, sizeof(r->TimerTotal));
    r->ResumeTime = Time_GetCurrent();
    return 1;
}

int64_t Repository_Shutdown(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    if (r->ActionFlags & REPOSITORY_ACTION_SHUTDOWN) return 1;
    const uint32_t keep = r->ActionFlags & ~(uint32_t)(REPOSITORY_ACTION_ACTIVE | REPOSITORY_ACTION_SYNC |
                                                       REPOSITORY_ACTION_REFRESH | REPOSITORY_ACTION_ERASE);
    Repository_SetActionFlags(r, keep | REPOSITORY_ACTION_SHUTDOWN);
    ForEachStorage(r, Storage_Shutdown);
    return 1;
}

int64_t Repository_IsShutdown(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    return (repository->ActionFlags & REPOSITORY_ACTION_SHUTDOWN) &&
                   !(repository->StateFlags & (kPhases | REPOSITORY_STATEFLAG_ALIVE))
               ? 1
               : 0;
}

namespace {

// What a pass may move on by itself, with nothing else to tell the thread: a pass that changed
// any of it may have readied the next step, which then runs at once rather than after the
// driver's wait. Counts and times are left out, so a step that fails again and again on its
// resume time moves nothing, and the driver waits between its passes.
struct PassMark {
    uint32_t ActionFlags, StateFlags, Replaced, WorkStarted, StraySwept, Flushed, SaveScratchChosen, SaveHeld;
    bool operator==(const PassMark&) const = default;
};

PassMark MarkOf(const Repository* r) {
    return {r->ActionFlags, r->StateFlags, r->Replaced,          r->WorkStarted,
            r->StraySwept,  r->Flushed,    r->SaveScratchChosen, r->SaveHeld};
}

} // namespace

int64_t Repository_Process(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    Repository_AddRef(r);
    // A held save lives only while its sync is wanted: its loader would otherwise hold the phase
    // alive for ever. Dropped, it leaves the installed manifest as it was.
    if (r->SaveHeld && !(r->ActionFlags & REPOSITORY_ACTION_SYNC)) {
        MetaFile_SaveAbort(r->RemoteMeta);
        r->SaveHeld = 0;
    }
    const PassMark before = MarkOf(r);
    const double now = Time_GetCurrent();
    const uint32_t old = r->StateFlags;
    const uint32_t action = r->ActionFlags;
    const bool active = (action & REPOSITORY_ACTION_ACTIVE) != 0;
    uint32_t flags = 0;

    // 1. Phases: sticky until nothing is wanted and nothing runs.
    uint32_t pendingRequests = 0;
    Repository_GetPendingRequests(r, &pendingRequests);
    const bool busy = MetaFile_IsAlive(r->LocalMeta) || MetaFile_IsAlive(r->RemoteMeta) ||
                      Alias_IsAlive(r->AliasDoc) || Catalog_IsAlive(r->CatalogDoc) ||
                      StorageCopy_IsAlive(r->Copy) || StorageCopy_IsAlive(r->ApplyJob) ||
                      StorageCleanup_IsAlive(r->LocalCleanup) || StorageCleanup_IsAlive(r->PendingCleanup) ||
                      pendingRequests >= 1;
    const bool wanted =
        (action & (REPOSITORY_ACTION_SYNC | REPOSITORY_ACTION_REFRESH | REPOSITORY_ACTION_ERASE)) &&
        !(action & REPOSITORY_ACTION_SHUTDOWN);
    if (wanted || busy) {
        if ((old & REPOSITORY_STATEFLAG_SYNC) || (action & REPOSITORY_ACTION_SYNC))
            flags |= REPOSITORY_STATEFLAG_SYNC;
        if ((old & REPOSITORY_STATEFLAG_REFRESH) || (action & REPOSITORY_ACTION_REFRESH))
            flags |= REPOSITORY_STATEFLAG_REFRESH;
        if ((old & REPOSITORY_STATEFLAG_ERASE) || (action & REPOSITORY_ACTION_ERASE))
            flags |= REPOSITORY_STATEFLAG_ERASE;
        flags |= REPOSITORY_STATEFLAG_ALIVE;
        if ((flags & kPhases) && !active) flags |= REPOSITORY_STATEFLAG_PAUSED;
    }
    // A refresh loads its documents anew: they are reset before what has loaded is judged, or the
    // last run's would count as this one's and its work would pass over the loads it must make.
    const bool refreshStarts =
        (flags & REPOSITORY_STATEFLAG_REFRESH) && !(old & REPOSITORY_STATEFLAG_REFRESH);
    if (refreshStarts) {
        Repository_Print(r, "Refresh started (%s)", r->Name);
        ResetParts(r, true);
    }
    // 2. What has loaded.
    if (Alias_IsLoadComplete(r->AliasDoc) && Alias_IsOk(r->AliasDoc)) flags |= REPOSITORY_STATEFLAG_ALIAS;
    if (Catalog_IsLoadComplete(r->CatalogDoc) && Catalog_IsOk(r->CatalogDoc))
        flags |= REPOSITORY_STATEFLAG_CATALOG;
    if (IsLocalMetaLoaded(r)) {
        flags |= REPOSITORY_STATEFLAG_LOCALID | REPOSITORY_STATEFLAG_LOCALMETAFILE;
        NoteReplaced(r);
    }
    char remoteId[REPOSITORY_REMOTE_ID_SIZE];
    if (Repository_GetRemoteId(r, remoteId, (int32_t)sizeof(remoteId))) {
        flags |= REPOSITORY_STATEFLAG_REMOTEID;
        if (IsRemoteMetaLoaded(r)) flags |= REPOSITORY_STATEFLAG_REMOTEMETAFILE;
    }
    if (StorageCopy_IsAlive(r->Copy)) flags |= REPOSITORY_STATEFLAG_COPY;
    if (StorageCopy_IsAlive(r->ApplyJob)) flags |= REPOSITORY_STATEFLAG_APPLY;
    // 3. Stall: no progress for the stall time since an error was recorded.
    if (active && r->LastError[3] != 0 &&
        !(r->LastError[3] == STORAGE_ERROR_STORAGE && r->LastError[4] == 8)) {
        double last = -1;
        bool never = false, immediate = false;
        if (r->LastError[0] == REPOSITORY_SOURCE_CONFIG) {
            immediate = true;
        } else if (flags & REPOSITORY_STATEFLAG_COPY) {
            double piece = 0, file = 0;
            StorageCopy_GetLastPieceComplete(r->Copy, &piece);
            StorageCopy_GetLastFileComplete(r->Copy, &file);
            last = piece > file ? piece : file;
            if (last < 0) last = 0;
        } else if (flags & REPOSITORY_STATEFLAG_APPLY) {
            double piece = 0, file = 0;
            StorageCopy_GetLastPieceComplete(r->ApplyJob, &piece);
            StorageCopy_GetLastFileComplete(r->ApplyJob, &file);
            last = piece > file ? piece : file;
            if (last < 0) last = 0;
        } else if (flags & kPhases) {
            double io = 0;
            Storage_GetIOTime(r->Local, &io);
            last = io;
            Storage_GetIOTime(r->Pending, &io);
            if (io > last) last = io;
            for (RepositoryRemote* m = r->Remotes; m; m = m->Next) {
                Storage_GetIOTime(m->Member, &io);
                if (io > last) last = io;
            }
        } else if (!(flags & REPOSITORY_STATEFLAG_LOCALMETAFILE)) {
            immediate = true;
        } else {
            never = true;
        }
        if (immediate || (!never && now >= last + r->StallTime)) flags |= REPOSITORY_STATEFLAG_STALLED;
    }
    // 4. What runs.
    uint32_t copyFlags = 0;
    StorageCopy_GetFlags(r->Copy, &copyFlags);
    if (copyFlags & (STORAGE_COPY_FLAG_PENDING | STORAGE_COPY_FLAG_TO_PENDING))
        flags |= REPOSITORY_STATEFLAG_PENDING;
    if (StorageCleanup_IsAlive(r->LocalCleanup)) flags |= REPOSITORY_STATEFLAG_LOCALCLEAN;
    if (StorageCleanup_IsAlive(r->PendingCleanup)) flags |= REPOSITORY_STATEFLAG_PENDINGCLEAN;
    if (Alias_IsAlive(r->AliasDoc)) flags |= REPOSITORY_STATEFLAG_ALIAS_LOADING;
    if (Catalog_IsAlive(r->CatalogDoc)) flags |= REPOSITORY_STATEFLAG_CATALOG_LOADING;
    if (MetaFile_IsAlive(r->LocalMeta)) flags |= REPOSITORY_STATEFLAG_LOCALMETAFILE_LOADING;
    // A save held while the copy runs is no load of the manifest (nor counts as one's time).
    if (MetaFile_IsAlive(r->RemoteMeta) && r->SaveHeld != 1) flags |= REPOSITORY_STATEFLAG_REMOTEMETAFILE_LOADING;
    if ((flags & REPOSITORY_STATEFLAG_LOCALID) && (flags & REPOSITORY_STATEFLAG_REMOTEID)) {
        char localId[REPOSITORY_REMOTE_ID_SIZE];
        Repository_GetLocalId(r, localId, (int32_t)sizeof(localId));
        if (!localId[0])
            flags |= REPOSITORY_STATEFLAG_INSTALL;
        else if (!String_CompareWithoutCase(localId, remoteId) || r->ReplacedFound || r->UnfinishedFound ||
                 r->KeptLeft || r->ReplacedUnread)
            // A cleanup a cut run left unfinished, or a stopped run's changes, leave the
            // installation unlevel whatever its id.
            flags |= REPOSITORY_STATEFLAG_UPDATE;
    }
    // 5. Changes.
    if (flags != old) {
        const uint32_t on = flags & ~old, off = old & ~flags;
        // The ids are the refresh's to find: its first pass counts none.
        if (refreshStarts) flags &= ~(uint32_t)(REPOSITORY_STATEFLAG_LOCALID | REPOSITORY_STATEFLAG_REMOTEID);
        if (on & REPOSITORY_STATEFLAG_SYNC) {
            Repository_Print(r, "Synchronize started (%s)", r->Name);
            ResetParts(r, false);
            r->StartErrors = 0;
            r->StartResume = 0;
        }
        if (on & REPOSITORY_STATEFLAG_ERASE) {
            Repository_Print(r, "Erase started (%s)", r->Name);
            ResetParts(r, false);
        }
        if (on & REPOSITORY_STATEFLAG_PAUSED) SetStoragesActive(r, 0);
        if (off & REPOSITORY_STATEFLAG_PAUSED) SetStoragesActive(r, 1);
        UpdateTimers(r, flags, now);
        r->StateFlags = flags;
        if (off & REPOSITORY_STATEFLAG_REFRESH)
            StopMessage(r, "Refresh stopped (%s) (%.2fs)", REPOSITORY_STATEFLAG_REFRESH);
        if (off & REPOSITORY_STATEFLAG_SYNC) {
            DropSweep(r);
            // Nothing of the sync runs any more, however it ended (stopped, failed, shut down): the
            // copies a failed or stopped one made and still knows go now (a completed one's replay
            // left none); what cannot go is named, and stays on record for the next run.
            StorageCleanup_RemoveMadeCopies(r->Local);
            DumpToLog(r);
            Repository_RequestListFree(r);
            StopMessage(r, "Synchronize stopped (%s) (%.2fs)", REPOSITORY_STATEFLAG_SYNC);
        }
        if (off & REPOSITORY_STATEFLAG_ERASE) {
            DumpToLog(r);
            Repository_RequestListFree(r);
            StopMessage(r, "Erase stopped (%s) (%.2fs)", REPOSITORY_STATEFLAG_ERASE);
        }
        if (r->StateFn) r->StateFn(r, r->StateUser, old, flags);
    }
    // A permanent error ends the synchronisation, erase or refresh (a local manifest that cannot be
    // read) it happened in, with that error.
    if (r->Failed &&
        (r->ActionFlags & (REPOSITORY_ACTION_SYNC | REPOSITORY_ACTION_ERASE | REPOSITORY_ACTION_REFRESH))) {
        Repository_Print(r, "Stopped by a permanent error (%s): Source(%d) Index(%d) Code(%d) CodeEx(%d)", r->Name,
                         r->LastError[0], r->LastError[1], r->LastError[3], r->LastError[4]);
        if (r->ActionFlags & REPOSITORY_ACTION_SYNC) Repository_SetSync(r, 0);
        if (r->ActionFlags & REPOSITORY_ACTION_ERASE) Repository_SetErase(r, 0);
        if (r->ActionFlags & REPOSITORY_ACTION_REFRESH) Repository_SetRefresh(r, 0);
    }
    // 6. One unit of phase work.
    if (active && (r->StateFlags & REPOSITORY_STATEFLAG_ALIVE)) {
        const uint32_t state = r->StateFlags;
        if ((state & kPhases) && !(state & REPOSITORY_STATEFLAG_LOCALMETAFILE) && r->LocalMetaConfigured) {
            double resume = 0;
            MetaFile_GetResumeTime(r->LocalMeta, &resume);
            if (!MetaFile_IsLoadComplete(r->LocalMeta) && !MetaFile_IsAlive(r->LocalMeta) &&
                ResumeDue(resume)) {
                Repository_VerboseLog(r, 0, "Loading local metafile (%s)", r->MetaFilePath);
                char url[kPathSize];
                String_Print(url, (int32_t)sizeof(url), "file://%s", r->MetaFilePath);
                MetaFile_Load(r->LocalMeta, url, 0);
            }
        } else if ((state & REPOSITORY_STATEFLAG_REFRESH) &&
                   ((r->ActionFlags & REPOSITORY_ACTION_REFRESH) ||
                    !(state & (REPOSITORY_STATEFLAG_SYNC | REPOSITORY_STATEFLAG_ERASE)))) {
            // A refresh that has finished while its phase lingers must not hold up a
            // synchronisation or erase asked for meanwhile.
            RefreshWork(r);
        } else if (state & REPOSITORY_STATEFLAG_SYNC) {
            // A synchronisation whose action was cleared (ended, stopped, failed) starts nothing
            // more while its phase winds down: its jobs were shut down with the action, and a
            // stopped copy is no finished one to clean up after, nor one to start again.
            if (r->ActionFlags & REPOSITORY_ACTION_SYNC) SyncWork(r);
        } else if (state & REPOSITORY_STATEFLAG_ERASE) {
            EraseWork(r);
        }
    }
    // 7. The cleanups and storages advance on every pass.
    StorageCleanup_Process(r->LocalCleanup);
    StorageCleanup_Process(r->PendingCleanup);
    ForEachStorage(r, Storage_Process);
    if (!(MarkOf(r) == before) && r->ThreadId) Thread_Signal(r->ThreadId);
    Class_Release(&r);
    return 1;
}

// ---- Queries ------------------------------------------------------------------------------------------

int64_t Repository_GetStateFlags(Repository* repository, uint32_t* flags) {
    ASSERT_POINTER(flags);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *flags = repository->StateFlags;
    return 1;
}

int64_t Repository_GetActionFlags(Repository* repository, uint32_t* flags) {
    ASSERT_POINTER(flags);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *flags = repository->ActionFlags;
    return 1;
}

int64_t Repository_GetLastError(Repository* repository, int32_t* source, int32_t* index, int32_t* type,
                                int32_t* code, int32_t* codeEx) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    int32_t* outs[] = {source, index, type, code, codeEx};
    for (int i = 0; i < 5; ++i)
        if (outs[i]) *outs[i] = repository->LastError[i];
    return 1;
}

int64_t Repository_GetErrorCount(Repository* repository, uint32_t* count) {
    ASSERT_POINTER(count);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *count = repository->ErrorCount;
    return 1;
}

int64_t Repository_GetDeltaFailures(Repository* repository, uint32_t* count) {
    ASSERT_POINTER(count);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *count = repository->DeltaFailures;
    return 1;
}

int64_t Repository_GetApply(Repository* repository, uint32_t* apply) {
    ASSERT_POINTER(apply);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *apply = repository->Apply;
    return 1;
}

int64_t Repository_GetCleanup(Repository* repository, uint32_t* cleanup) {
    ASSERT_POINTER(cleanup);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *cleanup = repository->CleanupOn;
    return 1;
}

int64_t Repository_GetName(Repository* repository, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    String_CopyLength(buffer, repository->Name, size);
    return 1;
}

int64_t Repository_GetLocalPath(Repository* repository, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    buffer[0] = 0;
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Dictionary* dict = repository->Working ? repository->Working : repository->Config;
    Dictionary* local = nullptr;
    if (!Dictionary_GetDictionaryByKey(dict, "local", &local) || !local)
        Dictionary_GetDictionaryByKey(repository->Config, "local", &local);
    return local && GetString(local, "path", buffer, size) ? 1 : 0;
}

int64_t Repository_GetRemoteMetaFileUrl(Repository* repository, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    return String_CopyLength(buffer, repository->RemoteMetaUrl, size) ? 1 : 0;
}

int64_t Repository_GetLocalId(Repository* repository, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    buffer[0] = 0;
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    if (!MetaFile_IsLoadComplete(repository->LocalMeta) || MetaFile_IsAlive(repository->LocalMeta)) return 0;
    return MetaFile_GetId(repository->LocalMeta, buffer, size);
}

int64_t Repository_GetRemoteId(Repository* repository, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    buffer[0] = 0;
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    if (IsRemoteMetaLoaded(r) && MetaFile_GetId(r->RemoteMeta, buffer, size) && buffer[0]) return 1;
    if (Catalog_IsLoadComplete(r->CatalogDoc) && Catalog_IsOk(r->CatalogDoc) &&
        !Catalog_IsLoadSkipped(r->CatalogDoc) && Catalog_GetId(r->CatalogDoc, buffer, size) && buffer[0])
        return 1;
    if (Alias_IsLoadComplete(r->AliasDoc) && Alias_IsOk(r->AliasDoc) && !Alias_IsLoadSkipped(r->AliasDoc) &&
        Alias_GetValue(r->AliasDoc, buffer, size) && buffer[0])
        return 1;
    if (r->RemoteId[0]) {
        String_CopyLength(buffer, r->RemoteId, size);
        return 1;
    }
    buffer[0] = 0;
    return 0;
}

int64_t Repository_GetPendingRequests(Repository* repository, uint32_t* count) {
    ASSERT_POINTER(count);
    *count = 0;
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    uint32_t n = 0;
    Storage_GetPendingRequests(repository->Local, &n);
    *count += n;
    Storage_GetPendingRequests(repository->Pending, &n);
    *count += n;
    for (RepositoryRemote* m = repository->Remotes; m; m = m->Next) {
        Storage_GetPendingRequests(m->Member, &n);
        *count += n;
    }
    return 1;
}

int64_t Repository_IsCopyComplete(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    return StorageCopy_IsComplete(repository->Copy);
}

int64_t Repository_IsApplyComplete(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    return StorageCopy_IsComplete(repository->ApplyJob);
}

int64_t Repository_IsCleanupComplete(Repository* repository) {
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    Repository* r = repository;
    if (!r->WorkStarted) return 0;
    if (!(r->StateFlags & REPOSITORY_STATEFLAG_INSTALL) && !StorageCleanup_IsComplete(r->LocalCleanup))
        return 0;
    if (r->PendingConfigured && !StorageCleanup_IsComplete(r->PendingCleanup)) return 0;
    return 1;
}

int64_t Repository_RemoteGetCount(Repository* repository, int32_t* count) {
    ASSERT_POINTER(count);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *count = repository->RemoteCount;
    return 1;
}

int64_t Repository_RemoteGetEnabledCount(Repository* repository, int32_t* count) {
    ASSERT_POINTER(count);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *count = 0;
    for (RepositoryRemote* m = repository->Remotes; m; m = m->Next) *count += m->Enabled ? 1 : 0;
    return 1;
}

int64_t Repository_RemoteGetEnabled(Repository* repository, int32_t index, uint32_t* enabled) {
    ASSERT_POINTER(enabled);
    *enabled = 0;
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    RepositoryRemote* m = repository->Remotes;
    for (int32_t i = 0; m && i < index; ++i) m = m->Next;
    if (!m || index < 0) return 0;
    *enabled = m->Enabled;
    return 1;
}

int64_t Repository_RemoteGetIdentifierCount(Repository* repository, const char* identifier,
                                            uint32_t enabledOnly, int32_t* count) {
    ASSERT_POINTER(count);
    ASSERT_POINTER(identifier);
    *count = 0;
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    char other[STORAGE_IDENTIFIER_SIZE];
    for (RepositoryRemote* m = repository->Remotes; m; m = m->Next) {
        if (enabledOnly && !m->Enabled) continue;
        Storage_GetIdentifier(m->Member, other, (int32_t)sizeof(other));
        if (String_CompareWithoutCase(other, identifier)) (*count)++;
    }
    return 1;
}

int64_t Repository_LocalGetMeterRWHandle(Repository* repository, MeterRW** meter) {
    ASSERT_POINTER(meter);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *meter = repository->LocalMeter;
    return 1;
}

int64_t Repository_RemoteGetMeterRWHandle(Repository* repository, MeterRW** meter) {
    ASSERT_POINTER(meter);
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    *meter = repository->RemoteMeter;
    return 1;
}

int64_t Repository_StateTimerGet(Repository* repository, uint32_t flag, double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = 0;
    CLASS_CHECK(repository, REPOSITORY_CLASS_ID);
    if (flag == 0 || (flag & (flag - 1)) != 0) Debug_Abort("State timer needs a single flag (0x%x)", flag);
    uint32_t bit = 0;
    while (!(flag & (1u << bit))) ++bit;
    const int32_t index = TimerIndex(bit);
    *seconds = repository->TimerTotal[index];
    if ((repository->ActionFlags & REPOSITORY_ACTION_ACTIVE) && (repository->TimerFlags & flag))
        *seconds += Time_GetCurrent() - repository->TimerStart[index];
    return 1;
}
