// Placeholder bodies until the reader lands.
#include "skin/skin_file.h"

#include "core/runtime/dictionary.h"
int64_t SkinFile_Init() { return 0; }
int64_t SkinFile_Remove() { return 0; }
int64_t SkinFile_IsAttached() { return 0; }
int64_t SkinFile_Attach(const char* /*path*/) { return 0; }
int64_t SkinFile_ContentExists(const char* /*name*/) { return 0; }
int64_t SkinFile_Create(SkinFile** /*handle*/) { return 0; }
int64_t SkinFile_Delete(SkinFile** /*handle*/) { return 0; }
int64_t SkinFile_AddRef(SkinFile* /*file*/) { return 0; }
int64_t SkinFile_Release(SkinFile** /*handle*/) { return 0; }
int64_t SkinFile_GetInstanceId(SkinFile* /*file*/, char* /*buffer*/, int32_t /*size*/) { return 0; }
int64_t SkinFile_Open(SkinFile* /*file*/, const char* /*name*/) { return 0; }
int64_t SkinFile_Close(SkinFile* /*file*/) { return 0; }
int64_t SkinFile_Reset(SkinFile* /*file*/) { return 0; }
int64_t SkinFile_IsOpen(SkinFile* /*file*/) { return 0; }
int64_t SkinFile_Read(SkinFile* /*file*/, void* /*buffer*/, uint32_t /*size*/, uint32_t* /*read*/) { return 0; }
int64_t SkinFile_Seek(SkinFile* /*file*/, int64_t /*offset*/, SeekOrigin /*origin*/) { return 0; }
int64_t SkinFile_GetFilesize(SkinFile* /*file*/, uint64_t* /*size*/) { return 0; }
int64_t SkinFile_GetCompressedSize(SkinFile* /*file*/, uint64_t* /*size*/) { return 0; }
int64_t SkinFile_GetUncompressedSize(SkinFile* /*file*/, uint64_t* /*size*/) { return 0; }
int64_t SkinFile_GetModifiedDateEncoded(SkinFile* /*file*/, EncodedTime* /*time*/) { return 0; }
int64_t SkinFile_GetStreamHandle(SkinFile* /*file*/, Stream** /*stream*/) { return 0; }
int64_t SkinFile_SetReadRaw(SkinFile* /*file*/, uint32_t /*flag*/) { return 0; }
int64_t SkinFile_IsOpenedRaw(SkinFile* /*file*/) { return 0; }
int64_t SkinFile_Print(SkinFile* /*file*/, const char* /*format*/, ...) { return 0; }
int64_t SkinFile_PrintTabbed(SkinFile* /*file*/, int32_t /*indent*/, const char* /*format*/, ...) { return 0; }
int64_t SkinFile_VPrint(SkinFile* /*file*/, int32_t /*indent*/, const char* /*format*/, va_list /*args*/) { return 0; }
int64_t SkinFile_VerboseLog(SkinFile* /*file*/, int32_t /*level*/, const char* /*format*/, ...) { return 0; }
int64_t SkinFile_IsVerboseLevel(SkinFile* /*file*/, int32_t /*level*/) { return 0; }
int64_t SkinFile_SetPrintCallback(SkinFile* /*file*/, void* /*user*/, ClassPrintCallback /*callback*/) { return 0; }
int64_t SkinFile_GetPrintCallback(SkinFile* /*file*/, void** /*user*/, ClassPrintCallback* /*callback*/) { return 0; }
int64_t SkinFile_SetPrintIdentifier(SkinFile* /*file*/, const char* /*text*/) { return 0; }
int64_t SkinFile_SetVerbose(SkinFile* /*file*/, uint32_t /*verbose*/) { return 0; }
int64_t SkinFile_GetVerbose(SkinFile* /*file*/, uint32_t* /*verbose*/) { return 0; }
