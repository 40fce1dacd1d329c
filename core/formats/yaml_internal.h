// The YAML object's fields, shared by its reader and writer files.
#pragma once

#include "core/formats/yaml.h"
#include "core/runtime/class.h"

struct YAML {
    Class Header;
    ClassPrint Print;
    uint32_t Error;
    Dictionary* Dict;
};

void YAML_PreparePrint(YAML* yaml);
// The item type the reader gives a plain scalar of this text, in block or flow context.
uint32_t YAML_PlainType(const char* text, int32_t length, bool flow);
// Reads all of `stream` (or of `bytes` when stream is null) into the bound Dictionary; sets the
// error code.
void YAML_ScanInput(YAML* yaml, Stream* stream, const uint8_t* bytes, uint64_t length);
