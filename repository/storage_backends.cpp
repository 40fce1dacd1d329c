// The built-in storage backends, put in the storage's table of rows once, on first use. Each
// backend's file defines its row; add one line here per backend, as
//     Storage_RegisterInterface("file", &StorageFileInterface);
#include "repository/storage.h"
#include "repository/storage_internal.h"
#include "repository/storage_file.h"
#include "repository/storage_file_split.h"
#include "repository/storage_http.h"

void Storage_RegisterBuiltinInterfaces() {
    Storage_RegisterInterface("file", &StorageFile_Interface);
    Storage_RegisterInterface("filePiece", &StorageFilePiece_Interface);
    Storage_RegisterInterface("http", &StorageHTTP_Interface);
    Storage_RegisterInterface("httpPiece", &StorageHTTPPiece_Interface);
}
