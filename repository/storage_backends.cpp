// The built-in storage backends, put in the storage's table of rows once, on first use. Each
// backend's file defines its row; add one line here per backend, as
//     Storage_RegisterInterface("file", &StorageFileInterface);
#include "repository/storage.h"

void Storage_RegisterBuiltinInterfaces() {
}
