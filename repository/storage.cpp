// Storage front: the object, the table of backend rows, binding by name, configuration, settings,
// bandwidth, dump and path templates. The step chains live in storage_chain.cpp.
#include "repository/storage.h"

#include <cstring>
#include <mutex>

#include "core/runtime/class_family.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/string_print.h"
#include "core/runtime/time.h"
#include "repository/meta_file.h"
#include "repository/digest_table.h"
#include "repository/storage_internal.h"

namespace {

// The "type" names in row order.
constexpr const char* kTypeNames[] = {"file", "filePiece", "http", "httpPiece"};
constexpr int32_t kRowCount = 4;
constexpr int32_t kRowHTTPPiece = 3;

std::atomic<const StorageInterface*> g_rows[kRowCount];

// Set while the built-in rows go in, so that their own registration does not wait for itself.
thread_local bool t_registeringBuiltins = false;

// The built-in rows go in first, so that a row registered later (a test's) replaces them.
void EnsureBuiltinRows() {
    static std::once_flag once;
    std::call_once(once, [] {
        t_registeringBuiltins = true;
        Storage_RegisterBuiltinInterfaces();
        t_registeringBuiltins = false;
    });
}

int32_t RowSlot(const char* type) {
    for (int32_t i = 0; i < kRowCount; ++i)
        if (String_CompareWithoutCase(type, kTypeNames[i])) return i;
    return -1;
}

int64_t DeleteHandle(void** handle);

void PreparePrint(Storage* s) {
    ClassPrint_Prepare(&s->Print, s, "Storage", Storage_PrintInternal);
}

// Every entry but SetActive must be present.
void CheckRow(const StorageInterface* row) {
    ASSERT_POINTER(row->Name);
    ASSERT_POINTER(row->Create);
    ASSERT_POINTER(row->AddRef);
    ASSERT_POINTER(row->Release);
    ASSERT_POINTER(row->SetPrintCallback);
    ASSERT_POINTER(row->Configure);
    ASSERT_POINTER(row->Shutdown);
    ASSERT_POINTER(row->Dump);
    ASSERT_POINTER(row->Process);
    ASSERT_POINTER(row->Exists);
    ASSERT_POINTER(row->Get);
    ASSERT_POINTER(row->Put);
    ASSERT_POINTER(row->Erase);
    ASSERT_POINTER(row->FileErase);
    ASSERT_POINTER(row->FileComplete);
}

// Takes the bound row and instance away under the lock, then lets the instance go.
void Unbind(Storage* s) {
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    {
        CriticalSectionGuard guard(s->Lock);
        row = s->Row;
        instance = s->Instance;
        s->Row = nullptr;
        s->Instance = nullptr;
    }
    if (row && instance) row->Release(&instance);
}

// "pad, gzip, vcdiff, aes256" words, case and blanks ignored, unknown words skipped.
uint32_t FlagsFromWords(const char* text) {
    static constexpr struct {
        const char* Word;
        uint32_t Flag;
    } kWords[] = {{"pad", STORAGE_FLAG_PAD},
                  {"gzip", STORAGE_FLAG_GZIP},
                  {"vcdiff", STORAGE_FLAG_VCDIFF},
                  {"aes256", STORAGE_FLAG_AES256}};
    uint32_t flags = 0;
    const char* p = text;
    while (*p) {
        const char* end = strchr(p, ',');
        const size_t length = end ? (size_t)(end - p) : strlen(p);
        size_t first = 0, last = length;
        while (first < last && (p[first] == ' ' || p[first] == '\t')) ++first;
        while (last > first && (p[last - 1] == ' ' || p[last - 1] == '\t')) --last;
        for (const auto& w : kWords) {
            const size_t n = strlen(w.Word);
            if (last - first == n && String_CompareLengthWithoutCase(p + first, w.Word, (int32_t)n))
                flags |= w.Flag;
        }
        if (!end) break;
        p = end + 1;
    }
    return flags;
}

struct FormatContext {
    MetaFile* Target;
    int32_t Index;
    const char* Source;
    // A target name with no value (no manifest, no such piece) fails the whole format, so that
    // no path is built with a token left in it.
    bool Failed;
};

int64_t FormatKey(void* user, const char* name, char* argument, char* value, int32_t capacity) {
    (void)argument;
    FormatContext* c = static_cast<FormatContext*>(user);
    if (String_CompareWithoutCase(name, "SourceInfoHash")) {
        if (!c->Source) return 0;
        String_CopyLength(value, c->Source, capacity);
        return 1;
    }
    if (String_CompareWithoutCase(name, "TargetInfoHash")) {
        if (!c->Target) {
            c->Failed = true;
            return 0;
        }
        MetaFile_GetId(c->Target, value, capacity);
        return 1;
    }
    if (String_CompareWithoutCase(name, "TargetDigest")) {
        PieceList* pieces = nullptr;
        int32_t total = 0;
        if (!c->Target || !MetaFile_GetPieceListHandle(c->Target, &pieces) || !pieces ||
            !PieceList_GetPieceTotal(pieces, &total) || c->Index < 0 || c->Index >= total ||
            !PieceList_GetDigestStringByIndex(pieces, c->Index, value, capacity)) {
            c->Failed = true;
            return 0;
        }
        return 1;
    }
    if (String_CompareWithoutCase(name, "TargetIndex")) {
        String_Print(value, capacity, "%d", c->Index);
        return 1;
    }
    return 0;
}

} // namespace

CLASS_PRINT_FAMILY(Storage, Storage, STORAGE_CLASS_ID, PreparePrint)

int64_t Storage_RegisterInterface(const char* type, const StorageInterface* row) {
    ASSERT_POINTER(type);
    const int32_t slot = RowSlot(type);
    if (slot < 0) return 0;
    // The built-in rows go in first, so that a row registered here is never replaced by them.
    if (!t_registeringBuiltins) EnsureBuiltinRows();
    if (row) CheckRow(row);
    g_rows[slot].store(row);
    return 1;
}

const StorageInterface* Storage_InterfaceFromName(const char* name) {
    EnsureBuiltinRows();
    const int32_t slot = name ? RowSlot(name) : -1;
    return g_rows[slot < 0 ? kRowHTTPPiece : slot].load();
}

const char* Storage_NameFromInterface(const StorageInterface* row) {
    if (!row) return "none";
    EnsureBuiltinRows();
    for (int32_t i = 0; i < kRowCount; ++i)
        if (g_rows[i].load() == row) return kTypeNames[i];
    return "unknown";
}

int64_t Storage_Create(Storage** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Storage* s = static_cast<Storage*>(Memory_AllocZero(sizeof(Storage)));
    s->Header.ClassId = STORAGE_CLASS_ID;
    s->Header.RefCount = 1;
    s->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(s);
    s->IOTime = Time_GetCurrent();
    MeterRW_Create(&s->Meter);
    Pool_Create(&s->Operations);
    Pool_SetMemorySize(s->Operations, 96);
    Pool_SetChunkSize(s->Operations, 10);
    Pool_SetAllowLock(s->Operations, 1);
    Pool_Create(&s->Challenges);
    Pool_SetMemorySize(s->Challenges, sizeof(StorageChallenge));
    Pool_SetChunkSize(s->Challenges, 5);
    Pool_SetAllowLock(s->Challenges, 1);
    CriticalSection_Create(&s->Lock);
    CriticalSection_Create(&s->ChallengeLock);
    *handle = s;
    return 1;
}

CLASS_BASICS(Storage, Storage, STORAGE_CLASS_ID)

namespace {

int64_t DeleteHandle(void** handle) {
    Storage* s = static_cast<Storage*>(*handle);
    Unbind(s);
    EventQueue_RemoveInstance(s->Queue, s);
    // Held until here: the backend's last reference may go with the backend (its metafile's
    // request held the queue), and the storage still has its own events to take off it.
    if (s->Queue) EventQueue_Release(&s->Queue);
    Pool_Delete(&s->Operations);
    Pool_Delete(&s->Challenges);
    MeterRW_Release(&s->Meter);
    CriticalSection_Delete(&s->Lock);
    CriticalSection_Delete(&s->ChallengeLock);
    memset(s->Password, 0, sizeof(s->Password));
    Memory_Free(s, sizeof(Storage));
    *handle = nullptr;
    return 1;
}

} // namespace

int64_t Storage_Configure(Storage* storage, void* context, Dictionary* dictionary, uint32_t* outFlags) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(dictionary);
    uint32_t localFlags = 0;
    if (!outFlags) outFlags = &localFlags;
    *outFlags = 0;
    const char* type = nullptr;
    if (!Dictionary_GetStringPtrByKey(dictionary, "type", &type) || !type) {
        Storage_Print(storage, "Configuration dictionary missing %s", "type");
        return 0;
    }
    uint32_t flags = 0;
    uint32_t flagType = 0;
    if (Dictionary_GetTypeByKey(dictionary, "flags", &flagType)) {
        double number = -1;
        const char* words = nullptr;
        // JSON documents hold every number as Float64: a whole number there is an integer too.
        if ((flagType == DICTIONARY_TYPE_INT64 || flagType == DICTIONARY_TYPE_FLOAT64) &&
            Dictionary_GetFloat64ByKey(dictionary, "flags", &number) && number >= 0 && number <= 4294967295.0 &&
            number == (double)(uint32_t)number) {
            flags = (uint32_t)number;
        } else if (flagType == DICTIONARY_TYPE_STRING && Dictionary_GetStringPtrByKey(dictionary, "flags", &words) &&
                   words) {
            flags = FlagsFromWords(words);
        } else {
            Storage_Print(storage, "Configuration dictionary invalid flag type (%d)", (int32_t)flagType);
            return 0;
        }
    }
    // Bits that name no encoding would only confuse the stage selection.
    flags &= STORAGE_FLAG_PAD | STORAGE_FLAG_GZIP | STORAGE_FLAG_VCDIFF | STORAGE_FLAG_AES256;
    const StorageInterface* row = Storage_InterfaceFromName(type);
    if (!row) {
        Storage_Print(storage, "Storage backend not available (%s)", type);
        return 0;
    }
    // The installed files and a remote copy of them are never encoded.
    if (String_CompareWithoutCase(type, "file") || String_CompareWithoutCase(type, "http")) flags = STORAGE_FLAG_PAD;
    Storage_SetInterface(storage, row);
    storage->Flags.store(flags);
    void* instance = nullptr;
    Storage_GetInterfaceHandle(storage, &instance);
    return row->Configure(instance, storage, context, dictionary, outFlags);
}

int64_t Storage_SetInterface(Storage* storage, const StorageInterface* row) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    {
        CriticalSectionGuard guard(storage->Lock);
        if (storage->Row == row) return 1;
    }
    Unbind(storage);
    if (!row) return 1;
    CheckRow(row);
    void* instance = nullptr;
    if (!row->Create(&instance) || !instance) return 0;
    row->SetPrintCallback(instance, storage, Storage_Print);
    CriticalSectionGuard guard(storage->Lock);
    storage->Row = row;
    storage->Instance = instance;
    return 1;
}

int64_t Storage_HasInterface(Storage* storage) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CriticalSectionGuard guard(storage->Lock);
    return storage->Row ? 1 : 0;
}

int64_t Storage_GetInterface(Storage* storage, const StorageInterface** row) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(row);
    CriticalSectionGuard guard(storage->Lock);
    *row = storage->Row;
    return *row ? 1 : 0;
}

int64_t Storage_GetInterfaceHandle(Storage* storage, void** instance) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(instance);
    CriticalSectionGuard guard(storage->Lock);
    *instance = storage->Instance;
    return *instance ? 1 : 0;
}

int64_t Storage_GetFlags(Storage* storage, uint32_t* flags) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(flags);
    *flags = storage->Flags.load();
    return 1;
}

int64_t Storage_SetFlags(Storage* storage, uint32_t flags) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    storage->Flags.store(flags);
    return 1;
}

int64_t Storage_GetIdentifier(Storage* storage, char* buffer, int32_t size) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(buffer);
    CriticalSectionGuard guard(storage->Lock);
    String_CopyLength(buffer, storage->Identifier, size);
    return 1;
}

int64_t Storage_SetIdentifier(Storage* storage, const char* identifier) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CriticalSectionGuard guard(storage->Lock);
    String_CopyLength(storage->Identifier, identifier ? identifier : "", (int32_t)sizeof(storage->Identifier));
    return 1;
}

int64_t Storage_GetPassword(Storage* storage, char* buffer, int32_t size) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(buffer);
    CriticalSectionGuard guard(storage->Lock);
    String_CopyLength(buffer, storage->Password, size);
    return 1;
}

int64_t Storage_SetPassword(Storage* storage, const char* password) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CriticalSectionGuard guard(storage->Lock);
    memset(storage->Password, 0, sizeof(storage->Password));
    String_CopyLength(storage->Password, password ? password : "", (int32_t)sizeof(storage->Password));
    return 1;
}

int64_t Storage_GetEventQueueHandle(Storage* storage, EventQueue** queue) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(queue);
    *queue = storage->Queue;
    return 1;
}

int64_t Storage_SetEventQueueHandle(Storage* storage, EventQueue* queue) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    if (queue) EventQueue_AddRef(queue);
    if (storage->Queue) EventQueue_Release(&storage->Queue);
    storage->Queue = queue;
    return 1;
}

int64_t Storage_GetTrafficControllerHandle(Storage* storage, void** controller) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(controller);
    *controller = storage->TrafficController;
    return 1;
}

int64_t Storage_SetTrafficControllerHandle(Storage* storage, void* controller) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    storage->TrafficController = controller;
    return 1;
}

int64_t Storage_SetDeltaSourceCallback(Storage* storage, void* user, StorageDeltaSourceFunc function) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CriticalSectionGuard guard(storage->Lock);
    storage->DeltaUser = user;
    storage->DeltaFunction = function;
    return 1;
}

int64_t Storage_GetErrorCount(Storage* storage, uint32_t* count) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(count);
    *count = storage->ErrorCount.load();
    return 1;
}

int64_t Storage_DecrementErrorCount(Storage* storage) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    // Never below zero: the repository may forgive more than was counted.
    uint32_t current = storage->ErrorCount.load();
    while (current && !storage->ErrorCount.compare_exchange_weak(current, current - 1)) {
    }
    return 1;
}

int64_t Storage_GetPendingRequests(Storage* storage, uint32_t* count) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(count);
    *count = storage->PendingRequests.load();
    return 1;
}

int64_t Storage_IncrementPendingRequests(Storage* storage) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    storage->PendingRequests.fetch_add(1);
    return 1;
}

int64_t Storage_DecrementPendingRequests(Storage* storage) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    uint32_t current = storage->PendingRequests.load();
    while (current && !storage->PendingRequests.compare_exchange_weak(current, current - 1)) {
    }
    return 1;
}

int64_t Storage_GetIOTime(Storage* storage, double* time) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(time);
    CriticalSectionGuard guard(storage->Lock);
    *time = storage->IOTime;
    return 1;
}

int64_t Storage_SetIOTime(Storage* storage, double time) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    CriticalSectionGuard guard(storage->Lock);
    storage->IOTime = time;
    return 1;
}

int64_t Storage_GetOverallUsage(Storage* storage, uint64_t* read, uint64_t* write) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    return MeterRW_GetOverallUsage(storage->Meter, read, write);
}

int64_t Storage_GetMaxBandwidth(Storage* storage, double* read, double* write) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    return MeterRW_GetMaxBandwidth(storage->Meter, read, write);
}

int64_t Storage_GetCurrentBandwidth(Storage* storage, double* read, double* write) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    return MeterRW_GetCurrentBandwidth(storage->Meter, read, write);
}

int64_t Storage_GetLimitBandwidth(Storage* storage, int32_t* read, int32_t* write) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    return MeterRW_GetLimitBandwidth(storage->Meter, read, write);
}

int64_t Storage_SetLimitBandwidth(Storage* storage, int32_t read, int32_t write) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    return MeterRW_SetLimitBandwidth(storage->Meter, read, write);
}

int64_t Storage_GetMeterRWHandle(Storage* storage, MeterRW** meter) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(meter);
    *meter = storage->Meter;
    return 1;
}

int64_t Storage_SetActive(Storage* storage, uint32_t active) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    if (storage->ShuttingDown.load()) return 0;
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    {
        CriticalSectionGuard guard(storage->Lock);
        row = storage->Row;
        instance = storage->Instance;
    }
    if (!row || !row->SetActive) return 0;
    return row->SetActive(instance, storage, active);
}

int64_t Storage_Process(Storage* storage) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    {
        CriticalSectionGuard guard(storage->Lock);
        row = storage->Row;
        instance = storage->Instance;
    }
    if (!row) return 0;
    return row->Process(instance, storage);
}

int64_t Storage_Shutdown(Storage* storage) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    if (storage->ShuttingDown.exchange(true)) return 1;
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    {
        CriticalSectionGuard guard(storage->Lock);
        row = storage->Row;
        instance = storage->Instance;
    }
    if (row) row->Shutdown(instance, storage);
    storage_internal::ChallengesShutdown(storage);
    return 1;
}

int64_t Storage_Reset(Storage* storage) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    Unbind(storage);
    Storage_SetPassword(storage, "");
    EventQueue_RemoveInstance(storage->Queue, storage);
    // A reset storage can be configured and used again.
    storage->ShuttingDown.store(false);
    return 1;
}

int64_t Storage_Dump(Storage* storage, Dictionary* dictionary) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(dictionary);
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    {
        CriticalSectionGuard guard(storage->Lock);
        row = storage->Row;
        instance = storage->Instance;
    }
    Dictionary_SetStringByKey(dictionary, "type", Storage_NameFromInterface(row));
    Dictionary_SetStringByKey(dictionary, "id", storage->Header.InstanceId);
    Dictionary_SetInt32ByKey(dictionary, "errorCount", (int32_t)storage->ErrorCount.load());
    Dictionary_SetInt32ByKey(dictionary, "pendingRequests", (int32_t)storage->PendingRequests.load());
    uint64_t read = 0, write = 0;
    MeterRW_GetOverallUsage(storage->Meter, &read, &write);
    Dictionary_SetInt64ByKey(dictionary, "readBytes", (int64_t)read);
    Dictionary_SetInt64ByKey(dictionary, "writeBytes", (int64_t)write);
    double readSpeed = 0, writeSpeed = 0;
    MeterRW_GetMaxBandwidth(storage->Meter, &readSpeed, &writeSpeed);
    Dictionary_SetFloat64ByKey(dictionary, "maxReadSpeed", readSpeed);
    Dictionary_SetFloat64ByKey(dictionary, "maxWriteSpeed", writeSpeed);
    MeterRW_GetCurrentBandwidth(storage->Meter, &readSpeed, &writeSpeed);
    Dictionary_SetFloat64ByKey(dictionary, "readSpeed", readSpeed);
    Dictionary_SetFloat64ByKey(dictionary, "writeSpeed", writeSpeed);
    if (row) row->Dump(instance, storage, dictionary);
    return 1;
}

int64_t Storage_Format(Storage* storage, const char* format, MetaFile* targetManifest, int32_t targetIndex,
                       const char* sourceInfoHash, char* output, int32_t size) {
    CLASS_CHECK(storage, STORAGE_CLASS_ID);
    ASSERT_POINTER(format);
    ASSERT_POINTER(output);
    if (size < 1) return 0;
    FormatContext context{targetManifest, targetIndex, sourceInfoHash, false};
    const int32_t copied = String_CopyLength(output, format, size);
    if (copied >= size && format[0]) return 0;
    const int64_t expanded = String_Expand(output, size, &context, FormatKey);
    if (!context.Failed) return expanded;
    output[0] = 0;
    return 0;
}

int64_t Storage_PrintInternal(void* user, const char* format, ...) {
    (void)user;
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}
