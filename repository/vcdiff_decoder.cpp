// Delta window decoder: the window header with its optional source piece range, and the
// instruction loop over the data, instructions and addresses sections, read in place.
#include "repository/vcdiff_decoder.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "repository/vcdiff_address_cache.h"
#include "repository/vcdiff_code_table.h"
#include "repository/vcdiff_integer.h"

struct VCDiffDecoder {
    Class Header;
    const uint8_t* Delta;
    uint32_t DeltaLength;
    uint32_t ReadPosition;
    const uint8_t* Source;
    uint32_t SourceLength;
    CodeTable* Table;
    uint16_t LastMode;
    uint8_t WindowIndicator;
    uint64_t SourceSegmentSize;
    uint64_t SourceSegmentPosition;
    uint64_t ThirdInteger;
    AddressCache* Addresses;
    const uint8_t* Instructions;
    uint32_t InstructionsLength;
    uint32_t InstructionsPosition;
    const uint8_t* Data;
    uint32_t DataLength;
    uint32_t DataOffset;
    uint32_t SourceWindowOffset;
    int32_t PieceIndex;
    int32_t PieceCount;
    // Set by a successful Init: decoding needs a window.
    uint32_t Ready;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return VCDiffDecoder_Delete(reinterpret_cast<VCDiffDecoder**>(handle));
}

// Takes a section of length bytes at the read position, if the delta buffer holds it.
bool TakeSection(VCDiffDecoder* d, uint64_t length, const uint8_t** start) {
    if (length > d->DeltaLength - d->ReadPosition) return false;
    *start = length ? d->Delta + d->ReadPosition : nullptr;
    d->ReadPosition += (uint32_t)length;
    return true;
}

bool ParseWindow(VCDiffDecoder* d) {
    const uint8_t* in = d->Delta;
    const uint32_t length = d->DeltaLength;
    uint32_t* at = &d->ReadPosition;
    if (*at >= length) return false;
    d->WindowIndicator = in[(*at)++];
    uint32_t deltaIndicator = 0;
    uint64_t dataLength = 0;
    uint32_t instructionsLength = 0;
    uint32_t addressesLength = 0;
    if (!VCDiffInteger_Read64(in, length, at, &d->SourceSegmentSize) ||
        !VCDiffInteger_Read64(in, length, at, &d->SourceSegmentPosition) ||
        !VCDiffInteger_Read64(in, length, at, &d->ThirdInteger) ||
        !VCDiffInteger_Read32(in, length, at, &deltaIndicator) ||
        !VCDiffInteger_Read64(in, length, at, &dataLength) ||
        !VCDiffInteger_Read32(in, length, at, &instructionsLength) ||
        !VCDiffInteger_Read32(in, length, at, &addressesLength))
        return false;
    // Secondary compression is not supported.
    if (deltaIndicator != 0 || dataLength >= (1ull << 31)) return false;
    uint32_t pieceIndex = 0;
    uint32_t pieceCount = 0;
    const bool pieces = (d->WindowIndicator & VCDIFF_WINDOW_PIECES) != 0;
    if (pieces && (!VCDiffInteger_Read32(in, length, at, &pieceIndex) ||
                   !VCDiffInteger_Read32(in, length, at, &pieceCount)))
        return false;
    const uint8_t* data = nullptr;
    const uint8_t* instructions = nullptr;
    const uint8_t* addresses = nullptr;
    if (!TakeSection(d, dataLength, &data) || !TakeSection(d, instructionsLength, &instructions) ||
        !TakeSection(d, addressesLength, &addresses))
        return false;
    d->Data = data;
    d->DataLength = (uint32_t)dataLength;
    d->Instructions = instructions;
    d->InstructionsLength = instructionsLength;
    AddressCache_Reset(d->Addresses, addresses, addressesLength);
    if (pieces) {
        d->PieceIndex = (int32_t)pieceIndex;
        d->PieceCount = (int32_t)pieceCount;
    }
    return true;
}

// Copies size bytes that start distance bytes back from to, where the two may overlap: the
// result is that of a forward byte-by-byte copy, which repeats the last distance bytes.
void CopyForward(uint8_t* to, uint32_t distance, uint32_t size) {
    const uint8_t* from = to - distance;
    if (distance >= size) {
        memcpy(to, from, size);
        return;
    }
    // Everything from `from` on is periodic with the distance, so each pass may copy all that
    // lies between from and to, doubling what the next pass can take.
    while (size > 0) {
        const uint32_t span = (uint32_t)(to - from);
        const uint32_t n = span < size ? span : size;
        memcpy(to, from, n);
        to += n;
        size -= n;
    }
}

} // namespace

int64_t VCDiffDecoder_Create(VCDiffDecoder** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    VCDiffDecoder* d = static_cast<VCDiffDecoder*>(Memory_AllocZero(sizeof(VCDiffDecoder)));
    d->Header.ClassId = VCDIFF_DECODER_CLASS_ID;
    d->Header.RefCount = 1;
    d->Header.Delete = DeleteHandle;
    d->LastMode = AddressCache_DefaultLastMode();
    // No instruction map: that inverse of the code table serves an encoder, decoding never consults
    // it, and one for each request's decoder cost every sync about 1.5 MB of new memory.
    CodeTable_Create(&d->Table);
    AddressCache_Create(&d->Addresses);
    *handle = d;
    return 1;
}

int64_t VCDiffDecoder_AddRef(VCDiffDecoder* decoder) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    Class_AddRef(decoder);
    return 1;
}

int64_t VCDiffDecoder_Release(VCDiffDecoder** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, VCDIFF_DECODER_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t VCDiffDecoder_Delete(VCDiffDecoder** handle) {
    ASSERT_POINTER(handle);
    VCDiffDecoder* d = *handle;
    CLASS_CHECK(d, VCDIFF_DECODER_CLASS_ID);
    AddressCache_Delete(&d->Addresses);
    CodeTable_Delete(&d->Table);
    d->Header.ClassId = 0;
    Memory_Free(d, sizeof(VCDiffDecoder));
    *handle = nullptr;
    return 1;
}

int64_t VCDiffDecoder_SetDeltaBuffer(VCDiffDecoder* decoder, const void* buffer, uint32_t length) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    decoder->Delta = static_cast<const uint8_t*>(buffer);
    decoder->DeltaLength = buffer ? length : 0;
    decoder->Ready = 0;
    return 1;
}

int64_t VCDiffDecoder_SetSourceBuffer(VCDiffDecoder* decoder, const void* buffer, uint32_t length) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    decoder->Source = static_cast<const uint8_t*>(buffer);
    decoder->SourceLength = buffer ? length : 0;
    return 1;
}

int64_t VCDiffDecoder_Init(VCDiffDecoder* decoder) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    VCDiffDecoder* d = decoder;
    // Nothing of an earlier window stays readable, whatever this one holds.
    d->Ready = 0;
    d->ReadPosition = 0;
    d->Data = nullptr;
    d->DataLength = d->DataOffset = 0;
    d->Instructions = nullptr;
    d->InstructionsLength = d->InstructionsPosition = 0;
    AddressCache_Reset(d->Addresses, nullptr, 0);
    if (!ParseWindow(d)) {
        d->Data = d->Instructions = nullptr;
        d->DataLength = d->InstructionsLength = 0;
        AddressCache_Reset(d->Addresses, nullptr, 0);
        return 0;
    }
    d->Ready = 1;
    return 1;
}

int64_t VCDiffDecoder_Decode(VCDiffDecoder* decoder, void* output, uint32_t capacity, uint32_t* position) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    ASSERT_POINTER(position);
    VCDiffDecoder* d = decoder;
    const uint32_t start = *position;
    if (!d->Ready || start > capacity || (output == nullptr && capacity > 0)) return 0;
    uint8_t* out = static_cast<uint8_t*>(output);
    uint32_t at = start;
    const uint64_t sourceSize = d->SourceSegmentSize;
    const CodeTable* table = d->Table;
    AddressCache* addresses = d->Addresses;
    const uint8_t* instructions = d->Instructions;
    const uint32_t instructionsLength = d->InstructionsLength;
    int64_t result = 1;
    while (result && d->InstructionsPosition < instructionsLength) {
        const uint8_t opcode = instructions[d->InstructionsPosition++];
        for (const CodeTableInstruction& in : table->Entries[opcode]) {
            if (in.Type == VCDIFF_NOOP) continue;
            uint32_t size = in.Size;
            if (size == 0 && !VCDiffInteger_Read32(instructions, instructionsLength, &d->InstructionsPosition, &size)) {
                result = 0;
                break;
            }
            if (size > capacity - at) {
                result = 0;
                break;
            }
            if (in.Type == VCDIFF_ADD) {
                if (size > d->DataLength - d->DataOffset) {
                    result = 0;
                    break;
                }
                if (size) memcpy(out + at, d->Data + d->DataOffset, size);
                d->DataOffset += size;
            } else if (in.Type == VCDIFF_RUN) {
                // The run's byte travels in the instructions section, after the opcode and size.
                if (d->InstructionsPosition >= instructionsLength) {
                    result = 0;
                    break;
                }
                const uint8_t byte = instructions[d->InstructionsPosition++];
                if (size) memset(out + at, byte, size);
            } else {
                const uint64_t here = sourceSize + (at - start);
                uint64_t address = 0;
                if (!AddressCache_Decode(addresses, in.Mode, here, &address)) {
                    result = 0;
                    break;
                }
                if (address < sourceSize) {
                    const uint64_t from = address + d->SourceWindowOffset;
                    if (from > d->SourceLength || size > d->SourceLength - from) {
                        result = 0;
                        break;
                    }
                    if (size) memcpy(out + at, d->Source + from, size);
                } else {
                    // Only bytes this window has already written may be copied: anything at or
                    // past here is not written yet.
                    if (address >= here) {
                        result = 0;
                        break;
                    }
                    if (size) CopyForward(out + at, (uint32_t)(here - address), size);
                }
            }
            at += size;
        }
    }
    *position = at;
    return result;
}

int64_t VCDiffDecoder_SetSourceWindowOffset(VCDiffDecoder* decoder, uint32_t offset) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    decoder->SourceWindowOffset = offset;
    return 1;
}

int64_t VCDiffDecoder_SetSourceWindowPieceIndex(VCDiffDecoder* decoder, int32_t index) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    decoder->PieceIndex = index;
    return 1;
}

int64_t VCDiffDecoder_GetSourceWindowPieceIndex(VCDiffDecoder* decoder, int32_t* index) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    ASSERT_POINTER(index);
    *index = decoder->PieceIndex;
    return 1;
}

int64_t VCDiffDecoder_SetSourceWindowPieceCount(VCDiffDecoder* decoder, int32_t count) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    decoder->PieceCount = count;
    return 1;
}

int64_t VCDiffDecoder_GetSourceWindowPieceCount(VCDiffDecoder* decoder, int32_t* count) {
    CLASS_CHECK(decoder, VCDIFF_DECODER_CLASS_ID);
    ASSERT_POINTER(count);
    *count = decoder->PieceCount;
    return 1;
}
