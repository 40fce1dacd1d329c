// The object side that every digest shares: instances in caller memory or on the heap, reference
// counts, copies and reading the digest out. Each digest keeps its block function, its padding and
// its public names, which forward here.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/crypto/hash.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace digest_object {

// A digest describes itself to these templates with a traits type:
//   using Object = MD5;                              // starts with its Class header, has DigestReady
//   static constexpr uint32_t ClassId = MD5_CLASS_ID;
//   static constexpr const char* Name = "MD5";       // as the abort text for an early read names it
//   static int64_t Reset(MD5* md5);                  // back to the initial state
// A digest of variable length (one engine behind two lengths) also gives
//   static constexpr uint32_t DigestSize = SHA256_DIGEST_SIZE;  // the length its own Stack sets

template <typename Traits> struct Common {
    using Object = typename Traits::Object;

    static int64_t AddRef(Object* object) {
        CLASS_CHECK(object, Traits::ClassId);
        Class_AddRef(object);
        return 1;
    }

    static int64_t Release(Object** handle) {
        ASSERT_POINTER(handle);
        if (*handle == nullptr) return 0;
        CLASS_CHECK(*handle, Traits::ClassId);
        Class_Release(handle);
        return 1;
    }

    static int64_t GetInstanceId(Object* object, char* buffer, int32_t size) {
        CLASS_CHECK(object, Traits::ClassId);
        ASSERT_POINTER(buffer);
        String_CopyLengthSafe(buffer, size, object->Header.InstanceId,
                              (int32_t)sizeof(object->Header.InstanceId));
        return 1;
    }

    static uint32_t IsGenerated(Object* object) {
        CLASS_CHECK(object, Traits::ClassId);
        return object->DigestReady;
    }

    // Reading a digest that was never generated is a caller's fault, not an input's.
    static void RequireGenerated(const Object* object) {
        if (!object->DigestReady)
            Debug_AbortInt(__FILE__, __LINE__,
                           "Assertion failed (%s->DigestReady)\n%s must be generated first!", Traits::Name,
                           Traits::Name);
    }
};

// A digest of fixed length held in the instance (Digest is an array): a copy is the whole instance
// after its header, and a short buffer receives the leading bytes.
template <typename Traits> struct Fixed : Common<Traits> {
    using Object = typename Traits::Object;
    using Base = Common<Traits>;

    static int64_t Stack(void* memory) {
        ASSERT_POINTER(memory);
        Object* object = static_cast<Object*>(memory);
        memset(object, 0, sizeof(Object));
        object->Header.ClassId = Traits::ClassId;
        return Traits::Reset(object);
    }

    static int64_t Unstack(void* memory) {
        CLASS_CHECK(memory, Traits::ClassId);
        return 1;
    }

    static int64_t Create(Object** handle) {
        ASSERT_POINTER(handle);
        *handle = nullptr;
        Object* object = static_cast<Object*>(Memory_AllocZero(sizeof(Object)));
        object->Header.ClassId = Traits::ClassId;
        object->Header.RefCount = 1;
        object->Header.Delete = DeleteHandle;
        Traits::Reset(object);
        *handle = object;
        return 1;
    }

    static int64_t Delete(Object** handle) {
        ASSERT_POINTER(handle);
        Object* object = *handle;
        CLASS_CHECK(object, Traits::ClassId);
        object->Header.ClassId = 0;
        Memory_Free(object, sizeof(Object));
        *handle = nullptr;
        return 1;
    }

    static int64_t CopyTo(Object* source, Object* target) {
        CLASS_CHECK(source, Traits::ClassId);
        CLASS_CHECK(target, Traits::ClassId);
        if (source != target)
            memcpy(reinterpret_cast<uint8_t*>(target) + sizeof(Class),
                   reinterpret_cast<uint8_t*>(source) + sizeof(Class), sizeof(Object) - sizeof(Class));
        return 1;
    }

    static uint32_t GetDigest(Object* object, uint8_t* out, int32_t capacity) {
        CLASS_CHECK(object, Traits::ClassId);
        ASSERT_POINTER(out);
        Base::RequireGenerated(object);
        if (capacity > 0)
            memcpy(out, object->Digest,
                   capacity < (int32_t)sizeof(object->Digest) ? (size_t)capacity : sizeof(object->Digest));
        return 1;
    }

    static uint32_t GetString(Object* object, uint32_t spaced, char* out, int32_t capacity) {
        CLASS_CHECK(object, Traits::ClassId);
        ASSERT_POINTER(out);
        Base::RequireGenerated(object);
        return (uint32_t)Hash_ConvertDigestToString(object->Digest, (int32_t)sizeof(object->Digest), spaced,
                                                    out, capacity);
    }

  private:
    static int64_t DeleteHandle(void** handle) { return Delete(reinterpret_cast<Object**>(handle)); }
};

// One engine behind two digest lengths: the digest is an owned buffer of DigestSize bytes, made and
// freed only by SetDigestSize, and a buffer shorter than the digest is refused.
template <typename Traits> struct Sized : Common<Traits> {
    using Object = typename Traits::Object;
    using Base = Common<Traits>;
    using Word = std::remove_extent_t<decltype(Object::State)>;

    static int64_t SetDigestSize(Object* object, uint32_t size) {
        CLASS_CHECK(object, Traits::ClassId);
        if (object->Digest) Memory_Free(object->Digest, object->DigestSize);
        object->Digest = nullptr;
        object->DigestSize = size;
        if (size > 0) object->Digest = static_cast<uint8_t*>(Memory_AllocZero(size));
        return 1;
    }

    static int64_t Stack(void* memory) {
        ASSERT_POINTER(memory);
        Object* object = static_cast<Object*>(memory);
        memset(object, 0, sizeof(Object));
        object->Header.ClassId = Traits::ClassId;
        SetDigestSize(object, Traits::DigestSize);
        return Traits::Reset(object);
    }

    static int64_t Unstack(void* memory) { return SetDigestSize(static_cast<Object*>(memory), 0); }

    // A heap instance holding digestSize bytes, put in its initial state by reset.
    static int64_t Create(Object** handle, uint32_t digestSize, int64_t (*reset)(Object*)) {
        ASSERT_POINTER(handle);
        *handle = nullptr;
        Object* object = static_cast<Object*>(Memory_AllocZero(sizeof(Object)));
        object->Header.ClassId = Traits::ClassId;
        object->Header.RefCount = 1;
        object->Header.Delete = DeleteHandle;
        SetDigestSize(object, digestSize);
        reset(object);
        *handle = object;
        return 1;
    }

    static int64_t Delete(Object** handle) {
        ASSERT_POINTER(handle);
        Object* object = *handle;
        CLASS_CHECK(object, Traits::ClassId);
        SetDigestSize(object, 0);
        object->Header.ClassId = 0;
        Memory_Free(object, sizeof(Object));
        *handle = nullptr;
        return 1;
    }

    // The target takes the count, state, block and digest, and the source's digest length.
    static int64_t CopyTo(Object* source, Object* target) {
        CLASS_CHECK(source, Traits::ClassId);
        CLASS_CHECK(target, Traits::ClassId);
        if (source == target) return 1;
        memcpy(&target->ByteCount, &source->ByteCount, sizeof(target->ByteCount));
        memcpy(target->State, source->State, sizeof(target->State));
        memcpy(target->Block, source->Block, sizeof(target->Block));
        target->DigestReady = source->DigestReady;
        if (target->DigestSize != source->DigestSize) SetDigestSize(target, source->DigestSize);
        if (source->DigestSize > 0) memcpy(target->Digest, source->Digest, source->DigestSize);
        return 1;
    }

    // Back to the given initial state, keeping the digest length; the digest bytes are zeroed.
    static int64_t ResetTo(Object* object, const Word* initial) {
        CLASS_CHECK(object, Traits::ClassId);
        memset(&object->ByteCount, 0, sizeof(object->ByteCount));
        memcpy(object->State, initial, sizeof(object->State));
        memset(object->Block, 0, sizeof(object->Block));
        object->DigestReady = 0;
        if (object->DigestSize > 0) memset(object->Digest, 0, object->DigestSize);
        return 1;
    }

    static uint32_t GetDigest(Object* object, uint8_t* out, int32_t capacity) {
        CLASS_CHECK(object, Traits::ClassId);
        ASSERT_POINTER(out);
        Base::RequireGenerated(object);
        if (capacity < 0 || (uint32_t)capacity < object->DigestSize) return 0;
        if (object->DigestSize > 0) memcpy(out, object->Digest, object->DigestSize);
        return 1;
    }

    static uint32_t GetString(Object* object, uint32_t spaced, char* out, int32_t capacity) {
        CLASS_CHECK(object, Traits::ClassId);
        ASSERT_POINTER(out);
        Base::RequireGenerated(object);
        return (uint32_t)Hash_ConvertDigestToString(object->Digest, (int32_t)object->DigestSize, spaced, out,
                                                    capacity);
    }

  private:
    static int64_t DeleteHandle(void** handle) { return Delete(reinterpret_cast<Object**>(handle)); }
};

// The block buffering of the digests that compress whole blocks: `used` bytes of `block` already
// hold input; a partly filled block is completed first, whole blocks go through straight from the
// input, the tail waits in the block. `compress(data, blocks)` runs blocks through the state.
template <uint32_t BlockSize, typename Compress>
inline void Absorb(uint8_t* block, uint32_t used, const uint8_t* in, uint32_t length, Compress compress) {
    if (used > 0) {
        const uint32_t room = BlockSize - used;
        if (length < room) {
            memcpy(block + used, in, length);
            return;
        }
        memcpy(block + used, in, room);
        compress(block, 1);
        in += room;
        length -= room;
    }
    if (length >= BlockSize) {
        compress(in, length / BlockSize);
        in += length - length % BlockSize;
        length %= BlockSize;
    }
    if (length > 0) memcpy(block, in, length);
}

// The closing padding: 0x80, zeros, then the message length (`count`, already in the digest's byte
// order) in the block's last `countSize` bytes; a block with no room left for it goes through first.
template <uint32_t BlockSize, typename Compress>
inline void Pad(uint8_t* block, uint32_t used, const uint8_t* count, uint32_t countSize, Compress compress) {
    const uint32_t lengthAt = BlockSize - countSize;
    block[used++] = 0x80;
    if (used > lengthAt) {
        memset(block + used, 0, BlockSize - used);
        compress(block, 1);
        used = 0;
    }
    memset(block + used, 0, lengthAt - used);
    memcpy(block + lengthAt, count, countSize);
    compress(block, 1);
}

} // namespace digest_object
