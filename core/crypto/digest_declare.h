// The operation names every digest object declares, written once: each digest's header expands
// these with its prefix and type, and digest_frame.h defines them to match.
#pragma once

#include <cstdint>

// The set-up operations, which a second variant on the same engine (SHA-224 beside SHA-256) has
// under its own prefix.
#define DIGEST_DECLARE_SETUP(Prefix, Type)                                                                   \
    uint32_t Prefix##_SizeOf();                                                                              \
    int64_t Prefix##_Stack(void* memory);                                                                    \
    int64_t Prefix##_Unstack(void* memory);                                                                  \
    int64_t Prefix##_Create(Type** handle);                                                                  \
    int64_t Prefix##_Delete(Type** handle);                                                                  \
    int64_t Prefix##_CopyTo(Type* source, Type* target);                                                     \
    int64_t Prefix##_Reset(Type* object)

// The set-up operations and the rest: counting, feeding (length of type Length), finishing and
// reading the digest out.
#define DIGEST_DECLARE_OPERATIONS(Prefix, Type, Length)                                                      \
    DIGEST_DECLARE_SETUP(Prefix, Type);                                                                      \
    int64_t Prefix##_AddRef(Type* object);                                                                   \
    int64_t Prefix##_Release(Type** handle);                                                                 \
    int64_t Prefix##_GetInstanceId(Type* object, char* buffer, int32_t size);                                \
    int64_t Prefix##_Process(Type* object, const void* data, Length length);                                 \
    uint32_t Prefix##_IsGenerated(Type* object);                                                             \
    int64_t Prefix##_Generate(Type* object);                                                                 \
    uint32_t Prefix##_GetDigest(Type* object, uint8_t* out, int32_t capacity);                               \
    uint32_t Prefix##_GetString(Type* object, uint32_t spaced, char* out, int32_t capacity)

// A SHA-2 engine on words of type Word behind two records, Prefix's and the shorter Short's: the
// records, the initial states, the block function, the digest length, the operations of both and
// the choice of the processor's code.
#define SHA2_DECLARE(Prefix, Short, Word)                                                                    \
    extern const HashInterface Short##_INTERFACE;                                                            \
    extern const HashInterface Prefix##_INTERFACE;                                                           \
    extern const Word Short##_InitialState[8];                                                               \
    extern const Word Prefix##_InitialState[8];                                                              \
    void Prefix##_WriteByteBlock(Word state[8], const uint8_t* block);                                       \
    int64_t Prefix##_SetDigestSize(Prefix* sha, uint32_t size);                                              \
    DIGEST_DECLARE_OPERATIONS(Prefix, Prefix, int32_t);                                                      \
    DIGEST_DECLARE_SETUP(Short, Prefix);                                                                     \
    int64_t Prefix##_UseProcessorExtensions(int32_t allowed)
