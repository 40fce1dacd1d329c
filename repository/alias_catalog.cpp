// The alias and the catalogue: each an object around one JSON document loader, with the check of
// the parsed document run on the loader's worker and a "skipped" state that counts as loaded.
#include "repository/alias.h"

#include <cstring>

#include "core/formats/json.h"
#include "core/linux/platform_error.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/web/web_get.h"
#include "core/web/web_get_cache.h"
#include "repository/catalog.h"

struct Alias {
    Class Header;
    ClassPrint Print;
    AsyncHTTP* Loader;
    WebGetCacheStore* Cache;
    uint32_t Skipped;
    char Key[ALIAS_KEY_SIZE];
    char Value[ALIAS_VALUE_SIZE];
};

struct Catalog {
    Class Header;
    ClassPrint Print;
    AsyncHTTP* Loader;
    uint32_t Delta;
    uint32_t Skipped;
    char Id[CATALOG_ID_SIZE];
    char MetaFile[CATALOG_TEXT_SIZE];
};

namespace {

int64_t PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

void PrepareAlias(Alias* alias) {
    ClassPrint_Prepare(&alias->Print, alias, "Alias", PrintInternal);
}

void PrepareCatalog(Catalog* catalog) {
    ClassPrint_Prepare(&catalog->Print, catalog, "Catalog", PrintInternal);
}

AsyncHTTP* NewLoader(void* owner, AsyncHTTPWorkerBuildFunc build) {
    AsyncHTTP* loader = nullptr;
    AsyncHTTP_Create(&loader);
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_JSON);
    AsyncHTTP_SetWorkerBuildCallback(loader, owner, build);
    return loader;
}

// The loader's reset waits for a build in progress; then nothing of the owner is used by it.
void DropLoader(AsyncHTTP** loader) {
    AsyncHTTP_Reset(*loader);
    AsyncHTTP_SetWorkerBuildCallback(*loader, nullptr, nullptr);
    AsyncHTTP_SetEventQueueHandle(*loader, nullptr);
    AsyncHTTP_Release(loader);
}

// The parsed document's top-level object, or null.
Dictionary* TopObject(AsyncHTTP* loader) {
    Dictionary* root = nullptr;
    Dictionary* top = nullptr;
    if (!AsyncHTTP_GetDictionaryHandle(loader, &root) || !root) return nullptr;
    if (!Dictionary_SkipRoot(root, &top) || !top) return nullptr;
    return top;
}

// A string member held whole; one too long for the buffer is refused (*cut set), for cut short it
// would name another version or address.
bool StringMember(Dictionary* top, const char* key, char* buffer, int32_t size, bool* cut) {
    buffer[0] = 0;
    *cut = false;
    uint32_t type = 0;
    const char* text = nullptr;
    if (!top || Dictionary_GetTypeByKey(top, key, &type) != 1 || type != DICTIONARY_TYPE_STRING ||
        !Dictionary_GetStringPtrByKey(top, key, &text) || !text)
        return false;
    if (strlen(text) >= (size_t)size) {
        *cut = true;
        return false;
    }
    String_CopyLength(buffer, text, size);
    return true;
}

int64_t DeleteAliasHandle(void** handle) {
    return Alias_Delete(reinterpret_cast<Alias**>(handle));
}

int64_t DeleteCatalogHandle(void** handle) {
    return Catalog_Delete(reinterpret_cast<Catalog**>(handle));
}

} // namespace

// ---- Alias --------------------------------------------------------------------------------------

CLASS_PRINT_FAMILY(Alias, Alias, ALIAS_CLASS_ID, PrepareAlias)
DOCUMENT_LOADER_FORWARDS(Alias, Alias, ALIAS_CLASS_ID)

int64_t Alias_Create(Alias** handle) {
    ASSERT_POINTER(handle);
    auto* alias = static_cast<Alias*>(Memory_AllocZero(sizeof(Alias)));
    alias->Header.ClassId = ALIAS_CLASS_ID;
    alias->Header.RefCount = 1;
    alias->Header.Delete = DeleteAliasHandle;
    Class_GenerateInstanceIdReal(alias);
    alias->Loader = NewLoader(alias, Alias_WorkerBuild);
    // Aliases change rarely: answers are kept in their own cache store.
    if (WebGetCache_GetStore("alias", &alias->Cache) && alias->Cache)
        AsyncHTTP_SetCacheStoreHandle(alias->Loader, alias->Cache);
    *handle = alias;
    return 1;
}

int64_t Alias_AddRef(Alias* alias) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    Class_AddRef(alias);
    return 1;
}

int64_t Alias_Release(Alias** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, ALIAS_CLASS_ID);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t Alias_Delete(Alias** handle) {
    ASSERT_POINTER(handle);
    Alias* alias = *handle;
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    DropLoader(&alias->Loader);
    if (alias->Cache) WebGetCacheStore_Release(&alias->Cache);
    alias->Header.ClassId = 0;
    Memory_Free(alias, sizeof(Alias));
    *handle = nullptr;
    return 1;
}

int64_t Alias_Load(Alias* alias, const char* url, uint32_t verify) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    alias->Skipped = 0;
    alias->Value[0] = 0;
    return AsyncHTTP_Load(alias->Loader, url, verify);
}

int64_t Alias_SkipLoad(Alias* alias) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    alias->Skipped = 1;
    return 1;
}

int64_t Alias_Reset(Alias* alias) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    AsyncHTTP_Reset(alias->Loader);
    alias->Skipped = 0;
    alias->Value[0] = 0;
    return 1;
}

int64_t Alias_IsLoadSkipped(Alias* alias) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    return alias->Skipped;
}

int64_t Alias_IsLoadComplete(Alias* alias) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    return alias->Skipped ? 1 : AsyncHTTP_IsLoadComplete(alias->Loader);
}

int64_t Alias_IsOk(Alias* alias) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    return alias->Skipped ? 1 : AsyncHTTP_IsOk(alias->Loader);
}

int64_t Alias_SetKey(Alias* alias, const char* key) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    String_CopyLength(alias->Key, key ? key : "", sizeof(alias->Key));
    return 1;
}

int64_t Alias_GetValue(Alias* alias, char* buffer, int32_t size) {
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    // Only a finished, checked load has a value; a skipped alias offers none.
    if (alias->Skipped || !AsyncHTTP_IsLoadComplete(alias->Loader) || !AsyncHTTP_IsOk(alias->Loader)) return 0;
    String_CopyLength(buffer, alias->Value, size);
    return alias->Value[0] != 0;
}

int64_t Alias_WorkerBuild(AsyncHTTP* loader, void* user, uint32_t* code, uint32_t* codeEx) {
    Alias* alias = static_cast<Alias*>(user);
    CLASS_CHECK(alias, ALIAS_CLASS_ID);
    bool cut = false;
    if (StringMember(TopObject(loader), alias->Key, alias->Value, sizeof(alias->Value), &cut)) return 1;
    if (cut)
        Alias_Print(alias, "Alias \"%s\" too long (at most %d bytes)\n", alias->Key, (int)sizeof(alias->Value) - 1);
    else
        Alias_Print(alias, "Alias \"%s\" not found\n", alias->Key);
    *code = WEBGET_ERROR_INVALID_CONTENT;
    *codeEx = 0;
    return 0;
}

// ---- Catalog ------------------------------------------------------------------------------------

CLASS_PRINT_FAMILY(Catalog, Catalog, CATALOG_CLASS_ID, PrepareCatalog)
DOCUMENT_LOADER_FORWARDS(Catalog, Catalog, CATALOG_CLASS_ID)

int64_t Catalog_Create(Catalog** handle) {
    ASSERT_POINTER(handle);
    auto* catalog = static_cast<Catalog*>(Memory_AllocZero(sizeof(Catalog)));
    catalog->Header.ClassId = CATALOG_CLASS_ID;
    catalog->Header.RefCount = 1;
    catalog->Header.Delete = DeleteCatalogHandle;
    Class_GenerateInstanceIdReal(catalog);
    catalog->Loader = NewLoader(catalog, Catalog_WorkerBuild);
    catalog->Delta = 1;
    *handle = catalog;
    return 1;
}

int64_t Catalog_AddRef(Catalog* catalog) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    Class_AddRef(catalog);
    return 1;
}

int64_t Catalog_Release(Catalog** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, CATALOG_CLASS_ID);
    Class_Release(handle);
    *handle = nullptr;
    return 1;
}

int64_t Catalog_Delete(Catalog** handle) {
    ASSERT_POINTER(handle);
    Catalog* catalog = *handle;
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    DropLoader(&catalog->Loader);
    catalog->Header.ClassId = 0;
    Memory_Free(catalog, sizeof(Catalog));
    *handle = nullptr;
    return 1;
}

int64_t Catalog_Load(Catalog* catalog, const char* url, uint32_t verify) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    catalog->Skipped = 0;
    catalog->Id[0] = 0;
    catalog->MetaFile[0] = 0;
    return AsyncHTTP_Load(catalog->Loader, url, verify);
}

int64_t Catalog_SkipLoad(Catalog* catalog) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    catalog->Skipped = 1;
    return 1;
}

int64_t Catalog_Reset(Catalog* catalog) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    AsyncHTTP_Reset(catalog->Loader);
    catalog->Skipped = 0;
    catalog->Delta = 1;
    catalog->Id[0] = 0;
    catalog->MetaFile[0] = 0;
    return 1;
}

int64_t Catalog_IsLoadSkipped(Catalog* catalog) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    return catalog->Skipped;
}

int64_t Catalog_IsLoadComplete(Catalog* catalog) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    return catalog->Skipped ? 1 : AsyncHTTP_IsLoadComplete(catalog->Loader);
}

int64_t Catalog_IsOk(Catalog* catalog) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    return catalog->Skipped ? 1 : AsyncHTTP_IsOk(catalog->Loader);
}

namespace {

// A loaded and checked document, not a skipped one.
bool Loaded(Catalog* catalog) {
    return !catalog->Skipped && AsyncHTTP_IsLoadComplete(catalog->Loader) && AsyncHTTP_IsOk(catalog->Loader);
}

} // namespace

int64_t Catalog_GetId(Catalog* catalog, char* buffer, int32_t size) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (!Loaded(catalog)) return 0;
    String_CopyLength(buffer, catalog->Id, size);
    return 1;
}

int64_t Catalog_GetMetaFile(Catalog* catalog, char* buffer, int32_t size) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    ASSERT_POINTER(buffer);
    if (size > 0) buffer[0] = 0;
    if (!Loaded(catalog)) return 0;
    String_CopyLength(buffer, catalog->MetaFile, size);
    return 1;
}

int64_t Catalog_GetDataDictionary(Catalog* catalog, Dictionary** data) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    ASSERT_POINTER(data);
    *data = nullptr;
    if (!Loaded(catalog)) return 0;
    *data = TopObject(catalog->Loader);
    return *data != nullptr;
}

int64_t Catalog_GetConfigHandle(Catalog* catalog, Dictionary** config) {
    ASSERT_POINTER(config);
    *config = nullptr;
    Dictionary* data = nullptr;
    if (!Catalog_GetDataDictionary(catalog, &data)) return 0;
    uint32_t type = 0;
    if (Dictionary_GetTypeByKey(data, "config", &type) != 1 || type != DICTIONARY_TYPE_DICTIONARY) return 0;
    return Dictionary_GetDictionaryByKey(data, "config", config) == 1 && *config;
}

int64_t Catalog_GetDelta(Catalog* catalog, uint32_t* delta) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    ASSERT_POINTER(delta);
    *delta = catalog->Delta;
    return 1;
}

int64_t Catalog_SetDelta(Catalog* catalog, uint32_t delta) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    catalog->Delta = delta ? 1 : 0;
    return 1;
}

int64_t Catalog_SetReportError(Catalog* catalog, uint32_t report) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    return AsyncHTTP_SetReportError(catalog->Loader, report);
}

int64_t Catalog_IsMissing(Catalog* catalog) {
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    uint32_t code = 0, codeEx = 0;
    AsyncHTTP_GetLastError(catalog->Loader, &code, &codeEx);
    return code == 404 || (code == WEBGET_ERROR_OS && Platform_ErrorMissing((PlatformErrorCode)codeEx));
}

int64_t Catalog_WorkerBuild(AsyncHTTP* loader, void* user, uint32_t* code, uint32_t* codeEx) {
    Catalog* catalog = static_cast<Catalog*>(user);
    CLASS_CHECK(catalog, CATALOG_CLASS_ID);
    Dictionary* top = TopObject(loader);
    bool idCut = false, metaFileCut = false;
    if (StringMember(top, "id", catalog->Id, sizeof(catalog->Id), &idCut) &&
        StringMember(top, "metafile", catalog->MetaFile, sizeof(catalog->MetaFile), &metaFileCut))
        return 1;
    if (idCut || metaFileCut)
        Catalog_Print(catalog, "Catalog \"%s\" too long (at most %d bytes)\n", idCut ? "id" : "metafile",
                      (idCut ? CATALOG_ID_SIZE : CATALOG_TEXT_SIZE) - 1);
    else
        Catalog_Print(catalog, "Catalog without \"id\" or \"metafile\"\n");
    catalog->Id[0] = 0;
    catalog->MetaFile[0] = 0;
    *code = WEBGET_ERROR_INVALID_CONTENT;
    *codeEx = 0;
    return 0;
}
