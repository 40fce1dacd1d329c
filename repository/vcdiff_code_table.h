// The instruction code table of the delta format (the standard default table) and its inverse,
// the instruction map, which finds the opcode that encodes one instruction or a pair.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t {
    CODE_TABLE_CLASS_ID = 0x7e464f2b,
    INSTRUCTION_MAP_CLASS_ID = 0x842f53af,
};

enum : uint16_t {
    VCDIFF_NOOP = 0,
    VCDIFF_ADD = 1,
    VCDIFF_RUN = 2,
    VCDIFF_COPY = 3,
};

// One instruction of an entry; a size of 0 (other than for NOOP) means that the size follows the
// opcode in the instructions section.
struct CodeTableInstruction {
    uint16_t Type;
    uint16_t Size;
    uint16_t Mode;
};

// Public so that the decoder reads entries in place on its hot path.
struct CodeTable {
    Class Header;
    CodeTableInstruction Entries[256][2];
};

// Filled with the default table.
int64_t CodeTable_Create(CodeTable** handle);
int64_t CodeTable_Delete(CodeTable** handle);
// Instruction 0 or 1 of the entry for opcode (0 to 255); 0 and a cleared out for anything else.
int64_t CodeTable_GetEntry(CodeTable* table, uint32_t opcode, uint32_t which, CodeTableInstruction* out);

struct InstructionMap;

// Built from the table for address modes 0 to lastMode.
int64_t InstructionMap_Create(InstructionMap** handle, CodeTable* table, uint16_t lastMode);
int64_t InstructionMap_Delete(InstructionMap** handle);
// The first opcode that encodes (type, size, mode) alone; 0 and 0xFFFF where none does. The mode
// counts only for COPY.
int64_t InstructionMap_LookupFirst(InstructionMap* map, uint16_t type, uint16_t size, uint16_t mode,
                                   uint16_t* opcode);
// The opcode that encodes the single instruction of firstOpcode followed by (type, size, mode);
// 0 and 0xFFFF where none does.
int64_t InstructionMap_LookupSecond(InstructionMap* map, uint16_t firstOpcode, uint16_t type, uint16_t size,
                                    uint16_t mode, uint16_t* opcode);
