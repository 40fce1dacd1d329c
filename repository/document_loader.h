// What the repository's small documents (alias, catalogue) share: an object around one document
// loader, whose state and wiring they pass on under their own names.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/web/async_http.h"

struct CertStoreInterface;
struct Dictionary;
struct EventQueue;
struct MeterRW;

#define DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, Name, Params, Args)                                         \
    int64_t Prefix##_##Name Params {                                                                           \
        CLASS_CHECK(object, ClassId);                                                                          \
        return AsyncHTTP_##Name Args;                                                                          \
    }

// Defines them; the object's loader is object->Loader.
#define DOCUMENT_LOADER_FORWARDS(Prefix, Type, ClassId)                                                        \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, IsAlive, (Type * object), (object->Loader))                   \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetLastError, (Type * object, uint32_t * code, uint32_t * codeEx), \
                         (object->Loader, code, codeEx))                                                       \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetErrorCount, (Type * object, int32_t * count),               \
                         (object->Loader, count))                                                              \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetResumeTime, (Type * object, double* time), (object->Loader, time)) \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetLimitSize, (Type * object, int32_t * size), (object->Loader, size)) \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, SetLimitSize, (Type * object, int32_t size), (object->Loader, size)) \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetEventQueueHandle, (Type * object, EventQueue * *queue),     \
                         (object->Loader, queue))                                                              \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, SetEventQueueHandle, (Type * object, EventQueue * queue),      \
                         (object->Loader, queue))                                                              \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, SetErrorCallback,                                              \
                         (Type * object, void* user, AsyncHTTPErrorFunc callback), (object->Loader, user, callback)) \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, SetCertStoreHandle, (Type * object, CertStoreInterface * store), \
                         (object->Loader, store))                                                              \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, Dump, (Type * object, Dictionary * dict), (object->Loader, dict)) \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetOverallUsage, (Type * object, uint64_t * read, uint64_t * write), \
                         (object->Loader, read, write))                                                        \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetMaxBandwidth, (Type * object, double* read, double* write),  \
                         (object->Loader, read, write))                                                        \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetCurrentBandwidth, (Type * object, double* read, double* write), \
                         (object->Loader, read, write))                                                        \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetLimitBandwidth, (Type * object, int32_t * read, int32_t * write), \
                         (object->Loader, read, write))                                                        \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, SetLimitBandwidth, (Type * object, int32_t read, int32_t write), \
                         (object->Loader, read, write))                                                        \
    DOCUMENT_LOADER_PASS(Prefix, Type, ClassId, GetMeterRWHandle, (Type * object, MeterRW * *meter),           \
                         (object->Loader, meter))
