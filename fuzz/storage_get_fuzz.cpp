// Stored pieces of any bytes read through a storage whose flags name every encoding: piece
// header, encrypted container (with the password prompt answered), gzip, VCDIFF against local
// pieces read through the delta source, padding and the digest check. Input: the piece file.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/io_worker.h"
#include "core/runtime/meter.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_delta.h"
#include "repository/storage_request.h"
#include "tests/repository/test_storage_backend.h"

namespace {

StorageInterface g_rows[4];
MetaFile* g_local = nullptr;
MetaFile* g_remote = nullptr;
Storage* g_localStorage = nullptr;
Storage* g_remoteStorage = nullptr;
StorageDelta* g_delta = nullptr;
TestStorageBackend* g_pieces = nullptr;
int g_prompts = 0;

MetaFile* Manifest(const std::string& text) {
    MetaFile* meta = nullptr;
    MetaFile_Create(&meta);
    JSON* json = nullptr;
    JSON_Create(&json);
    JSON_SetValueCallback(json, meta, MetaFile_ValueCallback);
    JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
    JSON_Release(&json);
    uint32_t code = 0, codeEx = 0;
    MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx);
    return meta;
}

TestStorageBackend* Bind(Storage* storage, const char* type, uint32_t flags) {
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Dictionary_SetStringByKey(d, "type", type);
    Storage_Configure(storage, nullptr, d, nullptr);
    Dictionary_Release(&d);
    Storage_SetFlags(storage, flags);
    void* instance = nullptr;
    Storage_GetInterfaceHandle(storage, &instance);
    return TestStorageBackend::Of(instance);
}

void DeltaDone(StorageDelta*, StorageRequest*, void* user, uint32_t code, uint32_t extendedCode) {
    Storage_OperationComplete(static_cast<StorageOperation*>(user), code, extendedCode);
}

void DeltaSource(Storage*, void*, StorageOperation* operation) {
    StorageRequest* request = nullptr;
    Storage_OperationGetRequest(operation, &request);
    StorageDelta_Get(g_delta, request, operation, DeltaDone);
}

// The first prompt of an input gets a (wrong) password, later ones are cancelled.
int64_t Prompted(void*, const char*, const char*, const char* instance, Dictionary*) {
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Dictionary_SetBooleanByKey(d, "cancel", g_prompts++ ? 1 : 0);
    Dictionary_SetStringByKey(d, "password", "other");
    NotificationCenter_Fire("Challenge", "Response", instance, d);
    Dictionary_Release(&d);
    return 1;
}

struct Result {
    bool Done = false;
    uint32_t Code = 0;
};

void Completed(Storage*, void* user, void*, uint32_t code, uint32_t) {
    Result* r = static_cast<Result*>(user);
    r->Done = true;
    r->Code = code;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Debug_Init(nullptr, nullptr, 0);
    Thread_Init();
    EventQueue_Init();
    NotificationCenter_Init();
    Meter_Init();
    IOWorker_Init();
    const char* types[] = {"file", "filePiece", "http", "httpPiece"};
    for (int i = 0; i < 4; ++i) {
        g_rows[i] = *TestStorageInterface();
        Storage_RegisterInterface(types[i], &g_rows[i]);
    }
    g_local = Manifest(R"({"id":"l","files":[{"name":"a","size":40,"pad":24},{"name":"b","size":64}],)"
                       R"("pieces":{"size":64,"digests":["6sDhIqyH/9+iRZdUSBE3xS46DkE=","xCNOuD5JHmOIhYxYzmKQkDnOVXk="]}})");
    g_remote = Manifest(R"({"id":"r","files":[{"name":"a","size":100,"pad":28}],)"
                        R"("pieces":{"size":64,"digests":["AAAAAAAAAAAAAAAAAAAAAAAAAAA=","AAAAAAAAAAAAAAAAAAAAAAAAAAA="]}})");
    Storage_Create(&g_localStorage);
    TestStorageBackend* local = Bind(g_localStorage, "file", STORAGE_FLAG_PAD);
    for (int i = 0; i < 128; ++i) local->Stream.push_back((uint8_t)(i * 7));
    Storage_Create(&g_remoteStorage);
    g_pieces = Bind(g_remoteStorage, "filePiece", 15);
    g_pieces->PieceMode = true;
    Storage_SetPassword(g_remoteStorage, "secret");
    Storage_SetDeltaSourceCallback(g_remoteStorage, nullptr, DeltaSource);
    StorageDelta_Create(&g_delta);
    StorageDelta_SetSourceHandle(g_delta, g_localStorage);
    Dictionary* config = nullptr;
    Dictionary_Create(&config);
    Dictionary_SetInt32ByKey(config, "deltaCacheSize", 4096);
    StorageDelta_Configure(g_delta, nullptr, config);
    Dictionary_Release(&config);
    NotificationCenter_AddObserver("Challenge", "Request", nullptr, Prompted);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    {
        std::lock_guard<std::mutex> guard(g_pieces->Lock);
        g_pieces->Pieces[0] = std::vector<uint8_t>(data, data + size);
        g_pieces->Pieces[1] = std::vector<uint8_t>(data, data + size / 2);
    }
    g_prompts = 0;
    StorageRequest* request = nullptr;
    StorageRequest* source = nullptr;
    StorageRequest_Create(&request);
    StorageRequest_SetMetaFileHandle(request, g_remote);
    StorageRequest_IndexAdd(request, 0);
    if (size & 1) StorageRequest_IndexAdd(request, 1);
    StorageRequest_Alloc(request);
    StorageRequest_Create(&source);
    StorageRequest_SetMetaFileHandle(source, g_local);
    StorageRequest_SetDeltaRequestHandle(request, source);
    StorageRequest_Release(&source);
    StorageRequest_SetAllowVCDiff(request, 1);
    Result result;
    Storage_Get(g_remoteStorage, request, nullptr, &result, Completed);
    const double end = Time_GetCurrent() + 5;
    while (!result.Done) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        if (Time_GetCurrent() > end) __builtin_trap(); // a chain that never ends
        usleep(50);
    }
    StorageRequest_Release(&request);
    return 0;
}
