// What the file storage backends offer alike, written once: the names of their row of operations
// and print family (each backend's header declares them), and the operations that only check the
// instance, count references, bind the storage front or print through it.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct Storage;
struct StorageInterface;
struct StorageOperation;

// In the backend's source (which includes storage.h, class_family.h, string_print.h and
// storage_file_internal.h), after its object Type with Header, Print, Front and FrontPrint and a
// prepare(Type*) that fills the print block, and a shutdown(Type*) that lets go of what the backend
// holds beyond its use: the row of operations, AddRef, Release, SetPrintCallback, Shutdown, the
// steps a file backend has nothing to do in (SetActive, Process),
// the print family and PrintInternal, which prints through the storage front when one is bound.
#define STORAGE_FILE_BACKEND(Prefix, Type, ClassId, prepare, shutdown)                                       \
    const StorageInterface Prefix##_Interface = {                                                            \
        #Prefix,                                                                                             \
        Prefix##_Create,                                                                                     \
        Prefix##_AddRef,                                                                                     \
        Prefix##_Release,                                                                                    \
        Prefix##_SetPrintCallback,                                                                           \
        Prefix##_Configure,                                                                                  \
        Prefix##_Shutdown,                                                                                   \
        Prefix##_SetActive,                                                                                  \
        Prefix##_Dump,                                                                                       \
        Prefix##_Process,                                                                                    \
        Prefix##_Exists,                                                                                     \
        Prefix##_Get,                                                                                        \
        Prefix##_Put,                                                                                        \
        Prefix##_Erase,                                                                                      \
        Prefix##_FileErase,                                                                                  \
        Prefix##_FileComplete,                                                                               \
    };                                                                                                       \
    int64_t Prefix##_AddRef(void* instance) {                                                                \
        CLASS_CHECK(instance, ClassId);                                                                      \
        Class_AddRef(instance);                                                                              \
        return 1;                                                                                            \
    }                                                                                                        \
    int64_t Prefix##_Release(void** instance) {                                                              \
        ASSERT_POINTER(instance);                                                                            \
        if (*instance == nullptr) return 0;                                                                  \
        CLASS_CHECK(*instance, ClassId);                                                                     \
        Class_Release(instance);                                                                             \
        *instance = nullptr;                                                                                 \
        return 1;                                                                                            \
    }                                                                                                        \
    int64_t Prefix##_SetPrintCallback(void* instance, Storage* storage, StoragePrintFunc print) {            \
        CLASS_CHECK(instance, ClassId);                                                                      \
        Type* b = static_cast<Type*>(instance);                                                              \
        b->Front = storage;                                                                                  \
        b->FrontPrint = print;                                                                               \
        prepare(b);                                                                                          \
        return 1;                                                                                            \
    }                                                                                                        \
    int64_t Prefix##_Shutdown(void* instance, Storage*) {                                                    \
        CLASS_CHECK(instance, ClassId);                                                                      \
        shutdown(static_cast<Type*>(instance));                                                              \
        return 1;                                                                                            \
    }                                                                                                        \
    int64_t Prefix##_SetActive(void* instance, Storage*, uint32_t) {                                         \
        CLASS_CHECK(instance, ClassId);                                                                      \
        return 1;                                                                                            \
    }                                                                                                        \
    int64_t Prefix##_Process(void* instance, Storage*) {                                                     \
        CLASS_CHECK(instance, ClassId);                                                                      \
        return 1;                                                                                            \
    }                                                                                                        \
    CLASS_PRINT_FAMILY(Prefix, Type, ClassId, prepare)                                                       \
    int64_t Prefix##_PrintInternal(void* user, const char* format, ...) {                                    \
        Type* b = static_cast<Type*>(user);                                                                  \
        va_list args;                                                                                        \
        va_start(args, format);                                                                              \
        char text[2048];                                                                                     \
        String_VPrint(text, (int32_t)sizeof(text), format, args);                                            \
        va_end(args);                                                                                        \
        if (b && b->Front && b->FrontPrint)                                                                  \
            b->FrontPrint(b->Front, "%s", text);                                                             \
        else                                                                                                 \
            StorageFileInternal_PrintFallback(nullptr, "%s", text);                                          \
        return 1;                                                                                            \
    }
