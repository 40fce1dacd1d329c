// The frame that the block digests share around their block functions, written once: byte order,
// the message length each keeps, the block buffering, the closing padding with its length field,
// the block function chosen at run time, and the public operations that forward to
// digest_object.h. Each digest keeps only its block function, its constants and its names.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "core/crypto/digest_object.h"

namespace digest_frame {

template <typename Word> inline Word Rotl(Word x, int n) {
    return (Word)((x << n) | (x >> (8 * sizeof(Word) - n)));
}

template <typename Word> inline Word Rotr(Word x, int n) {
    return (Word)((x >> n) | (x << (8 * sizeof(Word) - n)));
}

template <typename Word> inline Word LoadBig(const uint8_t* p) {
    Word v = 0;
    for (size_t i = 0; i < sizeof(Word); i++) v = (Word)(v << 8) | p[i];
    return v;
}

template <typename Word> inline void StoreBig(uint8_t* p, Word v) {
    for (size_t i = sizeof(Word); i-- > 0; v = (Word)(v >> 8)) p[i] = (uint8_t)v;
}

template <typename Word> inline Word LoadLittle(const uint8_t* p) {
    Word v = 0;
    for (size_t i = sizeof(Word); i-- > 0;) v = (Word)(v << 8) | p[i];
    return v;
}

template <typename Word> inline void StoreLittle(uint8_t* p, Word v) {
    for (size_t i = 0; i < sizeof(Word); i++, v = (Word)(v >> 8)) p[i] = (uint8_t)v;
}

#if defined(__x86_64__) || defined(__i386__)
// Whether the processor has the SHA instructions and the vector extensions their code needs.
inline bool ProcessorHasSha() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool vector = (c & bit_SSSE3) && (c & bit_SSE4_1);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return vector && (b & bit_SHA);
}
#endif

template <typename Word> using CompressFunc = void (*)(Word* state, const uint8_t* data, size_t blocks);

inline bool NoExtensions() {
    return false;
}

// The block function in use: Extended, the code on the processor's extensions, where has() finds
// them and they are allowed, else Portable. Chosen at first use, replaced by Use.
template <typename Word, CompressFunc<Word> Portable, CompressFunc<Word> Extended = Portable,
          bool (*has)() = NoExtensions>
struct Engine {
    static CompressFunc<Word> Pick(bool allowed) { return allowed && has() ? Extended : Portable; }

    static std::atomic<CompressFunc<Word>>& Current() {
        static std::atomic<CompressFunc<Word>> engine{Pick(true)};
        return engine;
    }

    static void Compress(Word* state, const uint8_t* data, size_t blocks) {
        Current().load(std::memory_order_relaxed)(state, data, blocks);
    }

    // Answers 1 when the processor's code is in use afterwards.
    static int64_t Use(int32_t allowed) {
        const CompressFunc<Word> engine = Pick(allowed != 0);
        Current().store(engine);
        return engine != Portable ? 1 : 0;
    }
};

// The message length as each digest keeps it, low word first: MD4, MD5 and SHA-1 count bits in
// two 32-bit words (BitCount), SHA-256 bytes in one 64-bit word, SHA-512 bytes in two 64-bit
// words (ByteCount). The length field that closes the message is two state words wide.
template <typename Object> struct Length {
    using Word = std::remove_extent_t<decltype(Object::State)>;
    static constexpr uint32_t BlockSize = sizeof(Object::Block);
    static constexpr bool Bits = requires(Object * o) { o->BitCount; };

    static auto& Count(Object* o) {
        if constexpr (Bits)
            return o->BitCount;
        else
            return o->ByteCount;
    }

    // The bytes already waiting in the block.
    static uint32_t Used(Object* o) {
        if constexpr (Bits)
            return (o->BitCount[0] >> 3) & (BlockSize - 1);
        else if constexpr (std::is_array_v<decltype(o->ByteCount)>)
            return (uint32_t)(o->ByteCount[0] & (BlockSize - 1));
        else
            return (uint32_t)(o->ByteCount & (BlockSize - 1));
    }

    // A wrap of a low word carries into the high word.
    static void Add(Object* o, uint32_t length) {
        if constexpr (Bits) {
            const uint32_t low = o->BitCount[0] + (length << 3);
            o->BitCount[1] += (length >> 29) + (low < o->BitCount[0] ? 1 : 0);
            o->BitCount[0] = low;
        } else if constexpr (std::is_array_v<decltype(o->ByteCount)>) {
            o->ByteCount[0] += length;
            if (o->ByteCount[0] < length) o->ByteCount[1]++;
        } else {
            o->ByteCount += length;
        }
    }

    // The length in bits as the two words of the length field.
    static void InBits(Object* o, Word& high, Word& low) {
        if constexpr (Bits) {
            high = o->BitCount[1];
            low = o->BitCount[0];
        } else if constexpr (std::is_array_v<decltype(o->ByteCount)>) {
            high = (o->ByteCount[1] << 3) | (o->ByteCount[0] >> 61);
            low = o->ByteCount[0] << 3;
        } else {
            const uint64_t bits = o->ByteCount << 3;
            high = (Word)(bits >> 32);
            low = (Word)bits;
        }
    }
};

// Block buffering and closing of a digest whose traits give
//   using Object = MD5;        // with State, Block and BitCount or ByteCount
//   static constexpr bool BigEndian = false;    // the byte order of its words and length field
//   static void Compress(uint32_t* state, const uint8_t* data, size_t blocks);
template <typename Traits> struct Frame {
    using Object = typename Traits::Object;
    using Count = Length<Object>;
    using Word = typename Count::Word;
    static constexpr uint32_t BlockSize = Count::BlockSize;

    static void Store(uint8_t* p, Word v) {
        if constexpr (Traits::BigEndian)
            StoreBig(p, v);
        else
            StoreLittle(p, v);
    }

    static void Absorb(Object* o, const uint8_t* in, uint32_t length) {
        const uint32_t used = Count::Used(o);
        Count::Add(o, length);
        digest_object::Absorb<BlockSize>(o->Block, used, in, length, [o](const uint8_t* blocks, size_t n) {
            Traits::Compress(o->State, blocks, n);
        });
    }

    // Pads the message, runs the last blocks and writes the first `words` state words to out.
    static void Finish(Object* o, uint8_t* out, uint32_t words) {
        Word high, low;
        Count::InBits(o, high, low);
        uint8_t count[2 * sizeof(Word)];
        Store(count, Traits::BigEndian ? high : low);
        Store(count + sizeof(Word), Traits::BigEndian ? low : high);
        digest_object::Pad<BlockSize>(
            o->Block, Count::Used(o), count, sizeof(count),
            [o](const uint8_t* blocks, size_t n) { Traits::Compress(o->State, blocks, n); });
        for (uint32_t i = 0; i < words; i++) Store(out + sizeof(Word) * i, o->State[i]);
    }

    // Back to the initial state, digest zeroed; for a digest held in the instance.
    static int64_t ResetTo(Object* o, const Word* initial) {
        CLASS_CHECK(o, Traits::ClassId);
        memset(&Count::Count(o), 0, sizeof(Count::Count(o)));
        memcpy(o->State, initial, sizeof(o->State));
        memset(o->Block, 0, sizeof(o->Block));
        o->DigestReady = 0;
        memset(o->Digest, 0, sizeof(o->Digest));
        return 1;
    }

    static int64_t Process(Object* o, const void* data, uint32_t length) {
        CLASS_CHECK(o, Traits::ClassId);
        ASSERT_POINTER(data);
        Absorb(o, static_cast<const uint8_t*>(data), length);
        return 1;
    }

    // For a digest held in the instance: the state words that fill it.
    static int64_t Generate(Object* o) {
        CLASS_CHECK(o, Traits::ClassId);
        Finish(o, o->Digest, sizeof(o->Digest) / sizeof(Word));
        o->DigestReady = 1;
        return 1;
    }
};

} // namespace digest_frame

// The record the Hash layer reaches a digest by, under the name Setup: its set-up operations are
// Setup's, the rest Prefix's, and process is the slot that feeds it.
#define DIGEST_INTERFACE(Setup, Prefix, process)                                                             \
    {                                                                                                        \
#Setup, sizeof(Prefix::Block), Setup##_DIGEST_SIZE, Setup##_SizeOf, Setup##_Stack, Setup##_Unstack,  \
            HashSlot < Setup##_Create> ::Call, HashSlot < Setup##_Delete> ::Call,                            \
            HashSlot < Setup##_CopyTo> ::Call, HashSlot < Setup##_Reset> ::Call, process,                    \
            HashSlot < Prefix##_IsGenerated> ::Call, HashSlot < Prefix##_Generate> ::Call,                   \
            HashSlot < Prefix##_GetDigest> ::Call, HashSlot < Prefix##_GetString> ::Call,                    \
    }

// The operations that forward to the digest_object template Digest alike for every digest: all
// but Create, Reset, Process and Generate.
#define DIGEST_OBJECT_OPERATIONS(Prefix, Digest)                                                             \
    uint32_t Prefix##_SizeOf() {                                                                             \
        return sizeof(Prefix);                                                                               \
    }                                                                                                        \
    int64_t Prefix##_Stack(void* memory) {                                                                   \
        return Digest::Stack(memory);                                                                        \
    }                                                                                                        \
    int64_t Prefix##_Unstack(void* memory) {                                                                 \
        return Digest::Unstack(memory);                                                                      \
    }                                                                                                        \
    int64_t Prefix##_Delete(Prefix** handle) {                                                               \
        return Digest::Delete(handle);                                                                       \
    }                                                                                                        \
    int64_t Prefix##_AddRef(Prefix* object) {                                                                \
        return Digest::AddRef(object);                                                                       \
    }                                                                                                        \
    int64_t Prefix##_Release(Prefix** handle) {                                                              \
        return Digest::Release(handle);                                                                      \
    }                                                                                                        \
    int64_t Prefix##_GetInstanceId(Prefix* object, char* buffer, int32_t size) {                             \
        return Digest::GetInstanceId(object, buffer, size);                                                  \
    }                                                                                                        \
    int64_t Prefix##_CopyTo(Prefix* source, Prefix* target) {                                                \
        return Digest::CopyTo(source, target);                                                               \
    }                                                                                                        \
    uint32_t Prefix##_IsGenerated(Prefix* object) {                                                          \
        return Digest::IsGenerated(object);                                                                  \
    }                                                                                                        \
    uint32_t Prefix##_GetDigest(Prefix* object, uint8_t* out, int32_t capacity) {                            \
        return Digest::GetDigest(object, out, capacity);                                                     \
    }                                                                                                        \
    uint32_t Prefix##_GetString(Prefix* object, uint32_t spaced, char* out, int32_t capacity) {              \
        return Digest::GetString(object, spaced, out, capacity);                                             \
    }

// The operations of a digest held in the instance (digest_object::Fixed) but Reset, Process and
// Generate.
#define DIGEST_FIXED_OPERATIONS(Prefix, Digest)                                                              \
    DIGEST_OBJECT_OPERATIONS(Prefix, Digest)                                                                 \
    int64_t Prefix##_Create(Prefix** handle) {                                                               \
        return Digest::Create(handle);                                                                       \
    }

// Reset, Process and Generate of a digest held in the instance, on the frame.
#define DIGEST_FRAME_OPERATIONS(Prefix, Frame, initial)                                                      \
    int64_t Prefix##_Reset(Prefix* object) {                                                                 \
        return Frame::ResetTo(object, initial);                                                              \
    }                                                                                                        \
    int64_t Prefix##_Process(Prefix* object, const void* data, uint32_t length) {                            \
        return Frame::Process(object, data, length);                                                         \
    }                                                                                                        \
    int64_t Prefix##_Generate(Prefix* object) {                                                              \
        return Frame::Generate(object);                                                                      \
    }
