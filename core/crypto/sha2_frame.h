// The SHA-2 family written once over its word: the portable block function, the frame and the
// public operations of the two records on one engine (SHA-256 with SHA-224 on 32-bit words,
// SHA-512 with SHA-384 on 64-bit words). The processor's block functions stay with each digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/crypto/digest_frame.h"

namespace sha2 {

// A variant's rounds describe themselves:
//   using Word = uint32_t;
//   static constexpr int Rounds = 64;
//   static constexpr const Word* K = K256;          // one round constant a round
//   static constexpr int Sum0[3], Sum1[3];          // the rotations of the round's big sigmas
//   static constexpr int Sigma0[3], Sigma1[3];      // the schedule's: two rotations and a shift
template <typename R> struct Rounds {
    using Word = typename R::Word;
    static constexpr size_t BlockSize = 16 * sizeof(Word);

    static Word Rotr(Word x, int n) { return digest_frame::Rotr(x, n); }

    // One round; the eight working variables rotate by name from one call to the next.
    __attribute__((always_inline)) static void Round(Word a, Word b, Word c, Word& d, Word e, Word f, Word g,
                                                     Word& h, Word k, Word x) {
        const Word t1 = h + (Rotr(e, R::Sum1[0]) ^ Rotr(e, R::Sum1[1]) ^ Rotr(e, R::Sum1[2])) +
                        (g ^ (e & (f ^ g))) + k + x;
        const Word t2 =
            (Rotr(a, R::Sum0[0]) ^ Rotr(a, R::Sum0[1]) ^ Rotr(a, R::Sum0[2])) + ((a & b) | (c & (a | b)));
        d += t1;
        h = t1 + t2;
    }

    // Word t of the schedule, which is a 16-word ring: the first sixteen as loaded, each later one
    // made in place from t-2, t-7, t-15 and t-16.
    template <bool Expand> __attribute__((always_inline)) static Word Schedule(Word w[16], int t) {
        if constexpr (!Expand) {
            return w[t & 15];
        } else {
            const Word w15 = w[(t + 1) & 15], w2 = w[(t + 14) & 15];
            const Word s0 = Rotr(w15, R::Sigma0[0]) ^ Rotr(w15, R::Sigma0[1]) ^ (w15 >> R::Sigma0[2]);
            const Word s1 = Rotr(w2, R::Sigma1[0]) ^ Rotr(w2, R::Sigma1[1]) ^ (w2 >> R::Sigma1[2]);
            return w[t & 15] += s1 + w[(t + 9) & 15] + s0;
        }
    }

    template <bool Expand>
    __attribute__((always_inline)) static void Eight(Word& a, Word& b, Word& c, Word& d, Word& e, Word& f,
                                                     Word& g, Word& h, Word w[16], int t) {
        Round(a, b, c, d, e, f, g, h, R::K[t], Schedule<Expand>(w, t));
        Round(h, a, b, c, d, e, f, g, R::K[t + 1], Schedule<Expand>(w, t + 1));
        Round(g, h, a, b, c, d, e, f, R::K[t + 2], Schedule<Expand>(w, t + 2));
        Round(f, g, h, a, b, c, d, e, R::K[t + 3], Schedule<Expand>(w, t + 3));
        Round(e, f, g, h, a, b, c, d, R::K[t + 4], Schedule<Expand>(w, t + 4));
        Round(d, e, f, g, h, a, b, c, R::K[t + 5], Schedule<Expand>(w, t + 5));
        Round(c, d, e, f, g, h, a, b, R::K[t + 6], Schedule<Expand>(w, t + 6));
        Round(b, c, d, e, f, g, h, a, R::K[t + 7], Schedule<Expand>(w, t + 7));
    }

    // The block's working variables added into the state.
    __attribute__((always_inline)) static void AddTo(Word state[8], Word a, Word b, Word c, Word d, Word e,
                                                     Word f, Word g, Word h) {
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }

    static void CompressPortable(Word state[8], const uint8_t* data, size_t blocks) {
        for (; blocks > 0; blocks--, data += BlockSize) {
            Word w[16];
            for (int i = 0; i < 16; i++) w[i] = digest_frame::LoadBig<Word>(data + sizeof(Word) * i);
            Word a = state[0], b = state[1], c = state[2], d = state[3];
            Word e = state[4], f = state[5], g = state[6], h = state[7];
            for (int t = 0; t < 16; t += 8) Eight<false>(a, b, c, d, e, f, g, h, w, t);
            for (int t = 16; t < R::Rounds; t += 8) Eight<true>(a, b, c, d, e, f, g, h, w, t);
            AddTo(state, a, b, c, d, e, f, g, h);
        }
    }
};

// The frame of one engine behind two digest lengths; Traits is what digest_object::Sized and
// digest_frame::Frame take, with Compress the engine's block function.
template <typename Traits> struct Engine {
    using Object = typename Traits::Object;
    using Frame = digest_frame::Frame<Traits>;
    using Word = typename Frame::Word;

    // The record slot takes the whole unsigned length that the Hash layer passes.
    static int64_t SlotProcess(void* instance, const void* data, uint32_t length) {
        CLASS_CHECK(instance, Traits::ClassId);
        ASSERT_POINTER(data);
        Frame::Absorb(static_cast<Object*>(instance), static_cast<const uint8_t*>(data), length);
        return 1;
    }

    static int64_t Process(Object* sha, const void* data, int32_t length) {
        CLASS_CHECK(sha, Traits::ClassId);
        ASSERT_POINTER(data);
        if (length < 0) return 0;
        Frame::Absorb(sha, static_cast<const uint8_t*>(data), (uint32_t)length);
        return 1;
    }

    // The whole state is made, and the digest takes its leading DigestSize bytes.
    static int64_t Generate(Object* sha) {
        CLASS_CHECK(sha, Traits::ClassId);
        uint8_t full[8 * sizeof(Word)];
        Frame::Finish(sha, full, 8);
        if (sha->DigestSize > 0)
            memcpy(sha->Digest, full, sha->DigestSize < sizeof(full) ? sha->DigestSize : sizeof(full));
        sha->DigestReady = 1;
        return 1;
    }
};

} // namespace sha2

// The public operations of Prefix and of Short, its shorter variant on the same engine; Digest is
// the digest_object::Sized, Sha2 the sha2::Engine and Blocks the block-function engine
// (digest_frame::Engine) of the digest.
#define SHA2_OPERATIONS(Prefix, Short, Digest, Sha2, Blocks)                                                 \
    const HashInterface Prefix##_INTERFACE = DIGEST_INTERFACE(Prefix, Prefix, Sha2::SlotProcess);            \
    const HashInterface Short##_INTERFACE = DIGEST_INTERFACE(Short, Prefix, Sha2::SlotProcess);              \
    DIGEST_OBJECT_OPERATIONS(Prefix, Digest)                                                                 \
    void Prefix##_WriteByteBlock(Sha2::Word state[8], const uint8_t* block) {                                \
        ASSERT_POINTER(state);                                                                               \
        ASSERT_POINTER(block);                                                                               \
        Blocks::Compress(state, block, 1);                                                                   \
    }                                                                                                        \
    int64_t Prefix##_SetDigestSize(Prefix* sha, uint32_t size) {                                             \
        return Digest::SetDigestSize(sha, size);                                                             \
    }                                                                                                        \
    int64_t Prefix##_Create(Prefix** handle) {                                                               \
        return Digest::Create(handle, Prefix##_DIGEST_SIZE, Prefix##_Reset);                                 \
    }                                                                                                        \
    int64_t Prefix##_Reset(Prefix* sha) {                                                                    \
        return Digest::ResetTo(sha, Prefix##_InitialState);                                                  \
    }                                                                                                        \
    int64_t Prefix##_Process(Prefix* sha, const void* data, int32_t length) {                                \
        return Sha2::Process(sha, data, length);                                                             \
    }                                                                                                        \
    int64_t Prefix##_Generate(Prefix* sha) {                                                                 \
        return Sha2::Generate(sha);                                                                          \
    }                                                                                                        \
    int64_t Prefix##_UseProcessorExtensions(int32_t allowed) {                                               \
        return Blocks::Use(allowed);                                                                         \
    }                                                                                                        \
    /* The shorter variant's own set-up; the rest are Prefix's. */                                           \
    uint32_t Short##_SizeOf() {                                                                              \
        return sizeof(Prefix);                                                                               \
    }                                                                                                        \
    int64_t Short##_Stack(void* memory) {                                                                    \
        Prefix##_Stack(memory);                                                                              \
        Prefix* sha = static_cast<Prefix*>(memory);                                                          \
        Prefix##_SetDigestSize(sha, Short##_DIGEST_SIZE);                                                    \
        return Short##_Reset(sha);                                                                           \
    }                                                                                                        \
    int64_t Short##_Unstack(void* memory) {                                                                  \
        return Prefix##_Unstack(memory);                                                                     \
    }                                                                                                        \
    int64_t Short##_Create(Prefix** handle) {                                                                \
        return Digest::Create(handle, Short##_DIGEST_SIZE, Short##_Reset);                                   \
    }                                                                                                        \
    int64_t Short##_Delete(Prefix** handle) {                                                                \
        return Prefix##_Delete(handle);                                                                      \
    }                                                                                                        \
    int64_t Short##_CopyTo(Prefix* source, Prefix* target) {                                                 \
        return Prefix##_CopyTo(source, target);                                                              \
    }                                                                                                        \
    int64_t Short##_Reset(Prefix* sha) {                                                                     \
        return Digest::ResetTo(sha, Short##_InitialState);                                                   \
    }
