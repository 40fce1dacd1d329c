// Decoder of one delta window: rebuilds a target piece into the caller's buffer from the window
// and the source bytes it copies from. The window may name the run of source pieces it needs.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

struct VCDiffDecoder;

enum : uint32_t { VCDIFF_DECODER_CLASS_ID = 0x5daaaf9f };

// Window indicator bit: the header names the source pieces (index and count).
enum : uint8_t { VCDIFF_WINDOW_PIECES = 0x08 };

// Builds the code table, the instruction map and the address cache once per decoder, so that
// decoding allocates nothing.
int64_t VCDiffDecoder_Create(VCDiffDecoder** handle);
int64_t VCDiffDecoder_AddRef(VCDiffDecoder* decoder);
int64_t VCDiffDecoder_Release(VCDiffDecoder** handle);
int64_t VCDiffDecoder_Delete(VCDiffDecoder** handle);

// Both buffers are borrowed: they must outlive Init and Decode.
int64_t VCDiffDecoder_SetDeltaBuffer(VCDiffDecoder* decoder, const void* buffer, uint32_t length);
int64_t VCDiffDecoder_SetSourceBuffer(VCDiffDecoder* decoder, const void* buffer, uint32_t length);

// Parses the window header at the start of the delta buffer and takes its three sections; 0 on
// a malformed header, a delta indicator other than 0 or a section past the buffer. A window with
// VCDIFF_WINDOW_PIECES sets the source piece index and count.
int64_t VCDiffDecoder_Init(VCDiffDecoder* decoder);
// Runs the window's instructions, writing from *position on into output (capacity bytes). 0 on
// any fault (or without a successful Init); *position then keeps the bytes written so far. A COPY
// reads source bytes at its address plus the source window offset, or target bytes already
// written by this window.
int64_t VCDiffDecoder_Decode(VCDiffDecoder* decoder, void* output, uint32_t capacity, uint32_t* position);

int64_t VCDiffDecoder_SetSourceWindowOffset(VCDiffDecoder* decoder, uint32_t offset);
int64_t VCDiffDecoder_SetSourceWindowPieceIndex(VCDiffDecoder* decoder, int32_t index);
int64_t VCDiffDecoder_GetSourceWindowPieceIndex(VCDiffDecoder* decoder, int32_t* index);
int64_t VCDiffDecoder_SetSourceWindowPieceCount(VCDiffDecoder* decoder, int32_t count);
int64_t VCDiffDecoder_GetSourceWindowPieceCount(VCDiffDecoder* decoder, int32_t* count);
