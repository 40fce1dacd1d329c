// The counted-object basics and the print family that every class offers, written once.
//
// CLASS_BASICS(Prefix, Type, ClassId) gives Prefix_AddRef, Prefix_Release (which nulls the
// caller's handle; the last release deletes) and Prefix_GetInstanceId, each checking its handle.
//
// The print family: a module defines
// its object's `ClassPrint Print` member and a `prepare(Type*)` that fills the block's defaults
// (class name, fallback sink), then expands CLASS_PRINT_FAMILY at file scope to get
// Prefix_VPrint, _Print, _PrintTabbed, _IsVerboseLevel, _VerboseLog, _SetPrintCallback,
// _GetPrintCallback, _SetPrintIdentifier, _SetVerbose and _GetVerbose, each checking its handle.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/string.h"

#define CLASS_BASICS(Prefix, Type, ClassId)                                                    \
    int64_t Prefix##_AddRef(Type* object) {                                                    \
        CLASS_CHECK(object, ClassId);                                                          \
        Class_AddRef(object);                                                                  \
        return 1;                                                                              \
    }                                                                                          \
    int64_t Prefix##_Release(Type** handle) {                                                  \
        ASSERT_POINTER(handle);                                                                \
        CLASS_CHECK(*handle, ClassId);                                                         \
        Class_Release(handle);                                                                 \
        *handle = nullptr;                                                                     \
        return 1;                                                                              \
    }                                                                                          \
    int64_t Prefix##_GetInstanceId(Type* object, char* buffer, int32_t size) {                 \
        CLASS_CHECK(object, ClassId);                                                          \
        ASSERT_POINTER(buffer);                                                                \
        String_CopyLengthSafe(buffer, size, object->Header.InstanceId,                         \
                              (int32_t)sizeof(object->Header.InstanceId));                     \
        return 1;                                                                              \
    }

#define CLASS_PRINT_FAMILY(Prefix, Type, ClassId, prepare)                                     \
    int64_t Prefix##_VPrint(Type* object, int32_t indent, const char* format, va_list args) {  \
        CLASS_CHECK(object, ClassId);                                                          \
        prepare(object);                                                                       \
        return ClassPrint_VPrint(&object->Print, indent, format, args);                        \
    }                                                                                          \
    int64_t Prefix##_Print(Type* object, const char* format, ...) {                            \
        va_list args;                                                                          \
        va_start(args, format);                                                                \
        const int64_t result = Prefix##_VPrint(object, 0, format, args);                       \
        va_end(args);                                                                          \
        return result;                                                                         \
    }                                                                                          \
    int64_t Prefix##_PrintTabbed(Type* object, int32_t indent, const char* format, ...) {      \
        va_list args;                                                                          \
        va_start(args, format);                                                                \
        const int64_t result = Prefix##_VPrint(object, indent, format, args);                  \
        va_end(args);                                                                          \
        return result;                                                                         \
    }                                                                                          \
    int64_t Prefix##_IsVerboseLevel(Type* object, int32_t level) {                             \
        CLASS_CHECK(object, ClassId);                                                          \
        prepare(object);                                                                       \
        return ClassPrint_IsVerboseLevel(&object->Print, level);                               \
    }                                                                                          \
    int64_t Prefix##_VerboseLog(Type* object, int32_t level, const char* format, ...) {        \
        if (!Prefix##_IsVerboseLevel(object, level)) return 0;                                 \
        va_list args;                                                                          \
        va_start(args, format);                                                                \
        const int64_t result = Prefix##_VPrint(object, 0, format, args);                       \
        va_end(args);                                                                          \
        return result;                                                                         \
    }                                                                                          \
    int64_t Prefix##_SetPrintCallback(Type* object, void* user, ClassPrintCallback callback) { \
        CLASS_CHECK(object, ClassId);                                                          \
        prepare(object);                                                                       \
        object->Print.PrintUser = user;                                                        \
        object->Print.PrintCallback = callback;                                                \
        return 1;                                                                              \
    }                                                                                          \
    int64_t Prefix##_GetPrintCallback(Type* object, void** user, ClassPrintCallback* callback) { \
        CLASS_CHECK(object, ClassId);                                                          \
        ASSERT_POINTER(user);                                                                  \
        ASSERT_POINTER(callback);                                                              \
        prepare(object);                                                                       \
        *user = object->Print.PrintUser;                                                       \
        *callback = object->Print.PrintCallback;                                               \
        return 1;                                                                              \
    }                                                                                          \
    int64_t Prefix##_SetPrintIdentifier(Type* object, const char* text) {                      \
        CLASS_CHECK(object, ClassId);                                                          \
        object->Print.Identifier = text;                                                       \
        return 1;                                                                              \
    }                                                                                          \
    int64_t Prefix##_SetVerbose(Type* object, uint32_t verbose) {                              \
        CLASS_CHECK(object, ClassId);                                                          \
        object->Print.Verbose = (int32_t)verbose;                                              \
        return 1;                                                                              \
    }                                                                                          \
    int64_t Prefix##_GetVerbose(Type* object, uint32_t* verbose) {                             \
        CLASS_CHECK(object, ClassId);                                                          \
        ASSERT_POINTER(verbose);                                                               \
        *verbose = (uint32_t)object->Print.Verbose;                                            \
        return 1;                                                                              \
    }
