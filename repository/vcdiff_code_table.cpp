// The default instruction code table and the instruction map built from it.
#include "repository/vcdiff_code_table.h"

#include <cstring>

#include "core/runtime/memory.h"

namespace {

int64_t DeleteTable(void** handle) {
    return CodeTable_Delete(reinterpret_cast<CodeTable**>(handle));
}

void Fill(CodeTable* t) {
    auto set = [t](uint32_t opcode, CodeTableInstruction first, CodeTableInstruction second) {
        t->Entries[opcode][0] = first;
        t->Entries[opcode][1] = second;
    };
    const CodeTableInstruction noop = {VCDIFF_NOOP, 0, 0};
    uint32_t opcode = 0;
    set(opcode++, {VCDIFF_RUN, 0, 0}, noop);
    for (uint16_t size = 0; size <= 17; size++) set(opcode++, {VCDIFF_ADD, size, 0}, noop);
    for (uint16_t mode = 0; mode <= 8; mode++) {
        set(opcode++, {VCDIFF_COPY, 0, mode}, noop);
        for (uint16_t size = 4; size <= 18; size++) set(opcode++, {VCDIFF_COPY, size, mode}, noop);
    }
    for (uint16_t mode = 0; mode <= 5; mode++)
        for (uint16_t add = 1; add <= 4; add++)
            for (uint16_t copy = 4; copy <= 6; copy++) set(opcode++, {VCDIFF_ADD, add, 0}, {VCDIFF_COPY, copy, mode});
    for (uint16_t mode = 6; mode <= 8; mode++)
        for (uint16_t add = 1; add <= 4; add++) set(opcode++, {VCDIFF_ADD, add, 0}, {VCDIFF_COPY, 4, mode});
    for (uint16_t mode = 0; mode <= 8; mode++) set(opcode++, {VCDIFF_COPY, 4, mode}, {VCDIFF_ADD, 1, 0});
}

} // namespace

int64_t CodeTable_Create(CodeTable** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CodeTable* t = static_cast<CodeTable*>(Memory_AllocZero(sizeof(CodeTable)));
    t->Header.ClassId = CODE_TABLE_CLASS_ID;
    t->Header.RefCount = 1;
    t->Header.Delete = DeleteTable;
    Fill(t);
    *handle = t;
    return 1;
}

int64_t CodeTable_Delete(CodeTable** handle) {
    ASSERT_POINTER(handle);
    CodeTable* t = *handle;
    CLASS_CHECK(t, CODE_TABLE_CLASS_ID);
    t->Header.ClassId = 0;
    Memory_Free(t, sizeof(CodeTable));
    *handle = nullptr;
    return 1;
}

int64_t CodeTable_GetEntry(CodeTable* table, uint32_t opcode, uint32_t which, CodeTableInstruction* out) {
    CLASS_CHECK(table, CODE_TABLE_CLASS_ID);
    ASSERT_POINTER(out);
    *out = {};
    if (opcode > 255 || which > 1) return 0;
    *out = table->Entries[opcode][which];
    return 1;
}

// Instruction kinds: NOOP, ADD, RUN, then COPY in each mode. Sizes run from 0 to the largest size
// the table names; the pair map is kept only for the opcodes that start a pair.
struct InstructionMap {
    Class Header;
    uint16_t LastMode;
    uint32_t Kinds;
    uint32_t Sizes;
    uint16_t* First;
    uint16_t* Second[256];
};

namespace {

int64_t DeleteMap(void** handle) {
    return InstructionMap_Delete(reinterpret_cast<InstructionMap**>(handle));
}

uint32_t MapBytes(const InstructionMap* m) {
    return m->Kinds * m->Sizes * (uint32_t)sizeof(uint16_t);
}

// The kind index of an instruction, or Kinds when its mode is beyond the last.
uint32_t KindOf(const InstructionMap* m, uint16_t type, uint16_t mode) {
    if (type != VCDIFF_COPY) return type < VCDIFF_COPY ? type : m->Kinds;
    return mode <= m->LastMode ? VCDIFF_COPY + mode : m->Kinds;
}

uint16_t* Slot(const InstructionMap* m, uint16_t* map, uint16_t type, uint16_t size, uint16_t mode) {
    const uint32_t kind = KindOf(m, type, mode);
    if (map == nullptr || kind >= m->Kinds || size >= m->Sizes) return nullptr;
    return &map[kind * m->Sizes + size];
}

uint16_t* NewMap(const InstructionMap* m) {
    uint16_t* map = static_cast<uint16_t*>(Memory_Alloc(MapBytes(m)));
    memset(map, 0xFF, MapBytes(m));
    return map;
}

} // namespace

int64_t InstructionMap_Create(InstructionMap** handle, CodeTable* table, uint16_t lastMode) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CLASS_CHECK(table, CODE_TABLE_CLASS_ID);
    InstructionMap* m = static_cast<InstructionMap*>(Memory_AllocZero(sizeof(InstructionMap)));
    m->Header.ClassId = INSTRUCTION_MAP_CLASS_ID;
    m->Header.RefCount = 1;
    m->Header.Delete = DeleteMap;
    m->LastMode = lastMode;
    m->Kinds = VCDIFF_COPY + lastMode + 1u;
    uint16_t largest = 0;
    for (const auto& entry : table->Entries)
        for (const CodeTableInstruction& in : entry)
            if (in.Size > largest) largest = in.Size;
    m->Sizes = largest + 1u;
    m->First = NewMap(m);
    for (uint16_t opcode = 0; opcode < 256; opcode++) {
        const CodeTableInstruction& a = table->Entries[opcode][0];
        if (a.Type == VCDIFF_NOOP || table->Entries[opcode][1].Type != VCDIFF_NOOP) continue;
        uint16_t* slot = Slot(m, m->First, a.Type, a.Size, a.Mode);
        if (slot && *slot == 0xFFFF) *slot = opcode;
    }
    for (uint16_t opcode = 0; opcode < 256; opcode++) {
        const CodeTableInstruction& a = table->Entries[opcode][0];
        const CodeTableInstruction& b = table->Entries[opcode][1];
        if (a.Type == VCDIFF_NOOP || b.Type == VCDIFF_NOOP) continue;
        const uint16_t* first = Slot(m, m->First, a.Type, a.Size, a.Mode);
        if (first == nullptr || *first == 0xFFFF) continue;
        uint16_t*& pairs = m->Second[*first];
        if (pairs == nullptr) pairs = NewMap(m);
        uint16_t* slot = Slot(m, pairs, b.Type, b.Size, b.Mode);
        if (slot && *slot == 0xFFFF) *slot = opcode;
    }
    *handle = m;
    return 1;
}

int64_t InstructionMap_Delete(InstructionMap** handle) {
    ASSERT_POINTER(handle);
    InstructionMap* m = *handle;
    CLASS_CHECK(m, INSTRUCTION_MAP_CLASS_ID);
    for (uint16_t*& pairs : m->Second)
        if (pairs) Memory_Free(pairs, MapBytes(m));
    Memory_Free(m->First, MapBytes(m));
    m->Header.ClassId = 0;
    Memory_Free(m, sizeof(InstructionMap));
    *handle = nullptr;
    return 1;
}

int64_t InstructionMap_LookupFirst(InstructionMap* map, uint16_t type, uint16_t size, uint16_t mode,
                                   uint16_t* opcode) {
    CLASS_CHECK(map, INSTRUCTION_MAP_CLASS_ID);
    ASSERT_POINTER(opcode);
    const uint16_t* slot = Slot(map, map->First, type, size, mode);
    *opcode = slot ? *slot : 0xFFFF;
    return *opcode != 0xFFFF;
}

int64_t InstructionMap_LookupSecond(InstructionMap* map, uint16_t firstOpcode, uint16_t type, uint16_t size,
                                    uint16_t mode, uint16_t* opcode) {
    CLASS_CHECK(map, INSTRUCTION_MAP_CLASS_ID);
    ASSERT_POINTER(opcode);
    const uint16_t* slot = firstOpcode < 256 ? Slot(map, map->Second[firstOpcode], type, size, mode) : nullptr;
    *opcode = slot ? *slot : 0xFFFF;
    return *opcode != 0xFFFF;
}
