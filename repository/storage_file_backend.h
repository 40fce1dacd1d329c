// What the file storage backends offer alike, written once: the names of their row of operations
// and print family (declared by each backend's header), and the operations that only check the
// instance, count references, bind the storage front or print through it.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct Storage;
struct StorageInterface;
struct StorageOperation;

// The row of operations bound by the backend's type (Prefix_Interface), the operations in it, and
// the print family on its object Type.
#define STORAGE_FILE_DECLARE_BACKEND(Prefix, Type)                                                           \
    extern const StorageInterface Prefix##_Interface;                                                        \
    int64_t Prefix##_Create(void** instance);                                                                \
    int64_t Prefix##_AddRef(void* instance);                                                                 \
    int64_t Prefix##_Release(void** instance);                                                               \
    int64_t Prefix##_SetPrintCallback(void* instance, Storage* storage,                                      \
                                      int64_t (*print)(Storage*, const char*, ...));                         \
    int64_t Prefix##_Configure(void* instance, Storage* storage, void* context, Dictionary* dictionary,      \
                               uint32_t* outFlags);                                                          \
    int64_t Prefix##_Shutdown(void* instance, Storage* storage);                                             \
    int64_t Prefix##_SetActive(void* instance, Storage* storage, uint32_t active);                           \
    int64_t Prefix##_Dump(void* instance, Storage* storage, Dictionary* dictionary);                         \
    int64_t Prefix##_Process(void* instance, Storage* storage);                                              \
    int64_t Prefix##_Exists(void* instance, StorageOperation* operation);                                    \
    int64_t Prefix##_Get(void* instance, StorageOperation* operation);                                       \
    int64_t Prefix##_Put(void* instance, StorageOperation* operation);                                       \
    int64_t Prefix##_Erase(void* instance, StorageOperation* operation);                                     \
    int64_t Prefix##_FileErase(void* instance, StorageOperation* operation);                                 \
    int64_t Prefix##_FileComplete(void* instance, StorageOperation* operation);                              \
    int64_t Prefix##_VPrint(Type* object, int32_t indent, const char* format, va_list args);                 \
    int64_t Prefix##_Print(Type* object, const char* format, ...);                                           \
    int64_t Prefix##_PrintTabbed(Type* object, int32_t indent, const char* format, ...);                     \
    int64_t Prefix##_IsVerboseLevel(Type* object, int32_t level);                                            \
    int64_t Prefix##_VerboseLog(Type* object, int32_t level, const char* format, ...);                       \
    int64_t Prefix##_SetPrintCallback(Type* object, void* user, ClassPrintCallback callback);                \
    int64_t Prefix##_GetPrintCallback(Type* object, void** user, ClassPrintCallback* callback);              \
    int64_t Prefix##_SetPrintIdentifier(Type* object, const char* text);                                     \
    int64_t Prefix##_SetVerbose(Type* object, uint32_t verbose);                                             \
    int64_t Prefix##_GetVerbose(Type* object, uint32_t* verbose);                                            \
    int64_t Prefix##_PrintInternal(void* user, const char* format, ...)

// In the backend's source (which includes storage.h, class_family.h, string_print.h and
// storage_file_internal.h), after its object Type with Header, Print, Front and FrontPrint and a
// prepare(Type*) that fills the print block: the row of operations, AddRef, Release,
// SetPrintCallback, the steps a file backend has nothing to do in (Shutdown, SetActive, Process),
// the print family and PrintInternal, which prints through the storage front when one is bound.
#define STORAGE_FILE_BACKEND(Prefix, Type, ClassId, prepare)                                                 \
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
