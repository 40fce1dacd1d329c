// The alias and catalogue checks over arbitrary JSON, as their loader runs them after a parse: the
// member named by the alias key and the catalogue address its id makes, the catalogue's "id",
// "metafile" and "config", and the manifest address that "metafile" gives when the catalogue came
// from the web.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <strings.h>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/thread.h"
#include "core/web/async_http.h"
#include "repository/alias.h"
#include "repository/catalog.h"
#include "repository/repository_internal.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

bool Setup() {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    // The first line is the alias key, the rest the document.
    const uint8_t* newline = static_cast<const uint8_t*>(memchr(data, '\n', size));
    const size_t keyLength = newline ? (size_t)(newline - data) : 0;
    char key[ALIAS_KEY_SIZE] = {};
    memcpy(key, data, keyLength < sizeof(key) - 1 ? keyLength : sizeof(key) - 1);
    const uint8_t* text = newline ? newline + 1 : data;
    const size_t length = size - (size_t)(text - data);

    AsyncHTTP* loader = nullptr;
    AsyncHTTP_Create(&loader);
    AsyncHTTP_SetParser(loader, ASYNCHTTP_PARSER_JSON);
    JSON* json = nullptr;
    AsyncHTTP_GetJSONHandle(loader, &json);
    if (json && JSON_LoadBuffer(json, text, (uint32_t)length) == 1) {
        Alias* alias = nullptr;
        Alias_Create(&alias);
        Alias_SetPrintCallback(alias, nullptr, Quiet);
        Alias_SetKey(alias, key);
        uint32_t code = 0, codeEx = 0;
        char value[ALIAS_VALUE_SIZE];
        if (Alias_WorkerBuild(loader, alias, &code, &codeEx) != 1 && code == 0) __builtin_trap();
        Alias_GetValue(alias, value, sizeof(value));
        if (strlen(value) >= sizeof(value)) __builtin_trap();
        Alias_Release(&alias);
        // The id the alias gave becomes one segment of the catalogue's address, or none at all.
        const char base[] = "http://127.0.0.1:8080/ids";
        char address[1024];
        for (const char* local : {"", "v1"}) {
            if (!Repository_CatalogAddress(base, value, local, address, (int32_t)sizeof(address))) {
                if (address[0]) __builtin_trap();
                continue;
            }
            const size_t idLength = strlen(value);
            if (strncmp(address, base, sizeof(base) - 1) || address[sizeof(base) - 1] != '/' ||
                strncmp(address + sizeof(base), value, idLength) ||
                strcmp(address + sizeof(base) + idLength, local[0] ? "/v1/catalog.json" : "/catalog.json") ||
                strpbrk(value, "/\\?#%") || !strcmp(value, ".") || !strcmp(value, ".."))
                __builtin_trap();
        }

        Catalog* catalog = nullptr;
        Catalog_Create(&catalog);
        Catalog_SetPrintCallback(catalog, nullptr, Quiet);
        code = codeEx = 0;
        const int64_t built = Catalog_WorkerBuild(loader, catalog, &code, &codeEx);
        if (built != 1 && code == 0) __builtin_trap();
        char id[CATALOG_TEXT_SIZE], metafile[CATALOG_TEXT_SIZE];
        Catalog_GetId(catalog, id, sizeof(id));
        Catalog_GetMetaFile(catalog, metafile, sizeof(metafile));
        if (strlen(id) >= sizeof(id) || strlen(metafile) >= sizeof(metafile)) __builtin_trap();
        Dictionary* config = nullptr;
        Catalog_GetConfigHandle(catalog, &config);
        Catalog_Release(&catalog);
        // Whatever the name, the address it resolves to is on the web, or there is none.
        Dictionary* root = nullptr;
        Dictionary* top = nullptr;
        if (AsyncHTTP_GetDictionaryHandle(loader, &root) && root && Dictionary_SkipRoot(root, &top) && top &&
            Dictionary_GetStringByKey(top, "metafile", metafile, sizeof(metafile)) == 1) {
            char url[1024];
            const int64_t ok = Repository_CatalogManifestUrl("http://127.0.0.1:8080/ids/v1/catalog.json?k=1",
                                                             metafile, url, (int32_t)sizeof(url));
            if (strlen(url) >= sizeof(url)) __builtin_trap();
            if (ok ? strncasecmp(url, "http://", 7) && strncasecmp(url, "https://", 8) : url[0] != 0)
                __builtin_trap();
        }
    }
    AsyncHTTP_Release(&loader);
    return 0;
}
