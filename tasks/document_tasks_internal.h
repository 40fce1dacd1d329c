// Sizes and class ids of the data-document task types, shared by their readers and writers.
#pragma once
#include <cstdint>

enum : uint32_t {
    DOCUMENT_JSONREAD_CLASS_ID = 0x3a51c2e4,
    DOCUMENT_XMLREAD_CLASS_ID = 0x7d0e9b16,
    DOCUMENT_PLISTREAD_CLASS_ID = 0x52b8f03d,
    DOCUMENT_INIREAD_CLASS_ID = 0x1c94a7e2,
    DOCUMENT_JSONWRITE_CLASS_ID = 0x6fe2d158,
    DOCUMENT_XMLWRITE_CLASS_ID = 0x0b7c34a9,
    DOCUMENT_PLISTWRITE_CLASS_ID = 0x94d16e07,
    DOCUMENT_INIWRITE_CLASS_ID = 0x28a5fb71,
};

enum : int32_t {
    DOCUMENT_KEY_SIZE = 320,
    DOCUMENT_INI_KEY_SIZE = 120,
    DOCUMENT_VALUE_SIZE = 2048,
    DOCUMENT_INI_VALUE_SIZE = 1024,
    DOCUMENT_PATH_SIZE = 320,
    DOCUMENT_URL_SIZE = 8192,
};

struct Task;
// A document file that did not load or save: a line naming the file and why (the system's words
// when it cannot be opened, else `why`), then the error key.
void DocumentTask_AddFileError(Task* task, const char* path, const char* why, const char* errorKey);
// Registers the writers (JSONWrite, XMLWrite, PlistWrite, IniWrite).
int64_t DocumentWriters_Register();
