// The operating-system side of the Unzip task: every file and directory of an extraction is made
// relative to a descriptor of the output directory, never through a symbolic link, and each file
// is written beside its final name and renamed into place only when it is complete.
#pragma once
#include <cstdint>

// Relative paths below are made of components joined by "/", none empty, "." or "..".

// The output directory ("~" expanded), made with its missing parents (0700); -1 on failure. The
// output directory and every folder an entry is made in must be this user's and closed to other
// writers (Platform_JudgeOwnFolder): refused ones fail with EACCES, said by UnzipOs_LastRefusal.
int32_t UnzipOs_OpenRoot(const char* path);
// The longest component the file system of the root takes (255 when it cannot be told, or the
// root is not there yet).
int32_t UnzipOs_NameMax(int32_t root);
// The line saying why the last folder was refused on this thread; empty when none was since the
// last output directory that passed UnzipOs_OpenRoot.
const char* UnzipOs_LastRefusal();
// 1 when some component of the relative path that already exists below the root is a symbolic
// link (or, before the last one, not a directory): writing there would leave the root. With
// `file`, also when the last one is a directory, which a file cannot replace.
int32_t UnzipOs_PathHasLink(int32_t root, const char* relative, int32_t file);
// The directory that will hold the last component of the relative path, with the components
// before it made (0700) and none followed through a link; -1 on failure. `leaf` points at the
// last component inside `relative`. Close it with UnzipOs_Close.
int32_t UnzipOs_OpenParent(int32_t root, const char* relative, const char** leaf);
// Makes the directory itself too (0700); 1 on success or when it is already a directory.
int32_t UnzipOs_MakeDirectory(int32_t root, const char* relative);

struct UnzipOsFile {
    int32_t Parent;
    int32_t Fd;
    char Temporary[64];
};
// A new, private (0600) file beside `leaf` in the parent directory, which the file now owns.
int32_t UnzipOs_Begin(UnzipOsFile* file, int32_t parent);
int32_t UnzipOs_Write(UnzipOsFile* file, const void* data, int32_t size);
// Puts the complete file under `leaf` (replacing a file there); 0 and nothing left on failure.
int32_t UnzipOs_Commit(UnzipOsFile* file, const char* leaf);
// Removes the unfinished file.
void UnzipOs_Abort(UnzipOsFile* file);
void UnzipOs_Close(int32_t fd);
