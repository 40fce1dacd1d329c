// Descriptor-relative file operations of the file storage backends: every component below a
// storage's directory is entered without following a symbolic link, so a name from a manifest
// never reaches a file outside that directory, whatever links were planted in the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

// Kinds of an entry as found by StorageFileOS_Status.
enum : uint32_t {
    STORAGE_FILE_OS_MISSING = 0,
    STORAGE_FILE_OS_FILE = 1,
    STORAGE_FILE_OS_DIRECTORY = 2,
    STORAGE_FILE_OS_LINK = 3,
    STORAGE_FILE_OS_OTHER = 4,
};

struct StorageFileOSStatus {
    uint32_t Kind;
    uint32_t Mode; // permission bits
    uint64_t Size;
    int64_t ModifiedSeconds;
    uint32_t OwnPrivate; // a regular file of the effective user, one link, no permission for others
    uint32_t OwnSingle;  // a regular file of the effective user reached by this one name alone
    uint32_t OtherUser;  // an entry of another user
    uint64_t Device;
    uint64_t Inode;
    uint64_t Birth; // the file's birth mixed with the file system's handle of it; 0 where there is no birth
    uint64_t Token; // without a birth: the token StorageFileOS_Mark gave the file, else 0
    uint64_t Changed; // nanoseconds since 1970 of its last change (name, mode, times or bytes)
};

// The bit that tells a token from a birth (no birth reaches it).
constexpr uint64_t STORAGE_FILE_OS_TOKEN = 1ull << 63;
// A proof held in memory only, never recorded: the file this process made where the file system
// keeps neither birth times nor tokens; it matches a file of that device and inode without proof.
constexpr uint64_t STORAGE_FILE_OS_UNPROVEN = ~0ull;

// A proof taken where the file system keeps neither birth times nor tokens: the moment of the file's
// last change, with this bit (below a token's, above any birth until 2116), once the storage is done
// changing it. A file given its inode since was changed later; one the user changed is the user's.
constexpr uint64_t STORAGE_FILE_OS_CHANGED = 1ull << 62;
uint64_t StorageFileOS_ChangedProof(const StorageFileOSStatus& status);
// What proves a file is the one recorded, beyond device and inode (which a file made after it is
// gone may be given again): its birth, else its token; 0 when it has neither.
uint64_t StorageFileOS_ProofOf(const StorageFileOSStatus& status);
// Whether the status is of the file identified by device, inode and proof. Without a proof on
// either side nothing is the same file (such a file is left alone), but for STORAGE_FILE_OS_UNPROVEN.
// A symbolic link is identified as a file is (it can carry no token: only its birth proves it).
bool StorageFileOS_SameFile(const StorageFileOSStatus& status, uint64_t device, uint64_t inode, uint64_t proof);
// Where the file system keeps no birth time, gives the open file a random token (an extended
// attribute) that no later file can share, and notes it in status. 0, or why it could not.
int32_t StorageFileOS_Mark(int32_t fd, StorageFileOSStatus* status);
// Internal switch for the tests only: 0 reads no birth time, as on a file system that keeps none
// (default 1).
void StorageFileOS_SetBirthTimes(uint32_t kept);

// The system calls through which every change the file backends make on disk goes, and the opens:
// one table, so that a test can wrap it and fail or cut a run at any one call. Each member acts as
// the system call of its name (answers and errno alike).
struct StorageFileOSCalls {
    int (*OpenAt)(int directory, const char* name, int flags, mode_t mode);
    int (*MkdirAt)(int directory, const char* name, mode_t mode);
    int (*RenameAt)(int directory, const char* from, const char* to, unsigned int flags);
    int (*LinkAt)(int fromDirectory, const char* from, int toDirectory, const char* to, int flags);
    int (*UnlinkAt)(int directory, const char* name, int flags);
    int (*SymlinkAt)(const char* target, int directory, const char* name);
    int (*Fchmod)(int fd, mode_t mode);
    int (*FchmodAt)(int directory, const char* name, mode_t mode, int flags);
    int (*Ftruncate)(int fd, off_t length);
    int (*Futimens)(int fd, const struct timespec* times);
    ssize_t (*Write)(int fd, const void* bytes, size_t length);
    ssize_t (*CopyRange)(int from, int to, size_t length);
    int (*Fsync)(int fd);
    int (*Syncfs)(int fd);
};
// The table in use; SetCalls(nullptr) goes back to the system's own.
const StorageFileOSCalls* StorageFileOS_GetCalls();
const StorageFileOSCalls* StorageFileOS_SystemCalls();
void StorageFileOS_SetCalls(const StorageFileOSCalls* calls);

// Every function answers 0 or the errno value of the failure. ELOOP always means that a
// component (or the final entry, where a file is wanted) is a symbolic link.

// Opens the directory holding the last component of `name` ('/'-separated, already checked
// against the name rule) below `root` (a directory of the caller's, links followed). With create
// the missing directories are made, mode 0700, and counted in *made; without, a missing one gives
// ENOENT and *made counts the directories that would have to be made. With sameMount a component on
// another mount than root (a bind mount, another file system) is not entered: EXDEV. *leaf points
// into name at the last component.
int32_t StorageFileOS_OpenParent(const char* root, const char* name, uint32_t create, int32_t* directory,
                                 const char** leaf, uint32_t* made = nullptr, uint32_t sameMount = 0);
// A regular file of the directory, never through a link and never blocking on a special file:
// write opens for reading and writing and creates a missing file with mode 0600.
int32_t StorageFileOS_OpenFile(int32_t directory, const char* leaf, uint32_t write, int32_t* fd);
// The entry's own status; a missing entry is success with kind MISSING.
int32_t StorageFileOS_Status(int32_t directory, const char* leaf, StorageFileOSStatus* status);
// The same from one status call, without the proof (Birth and Token stay 0): for checks that ask
// only what kind, size, mode and time the entry has. user: the effective user ownership is judged
// against, when the caller asked it once for many calls; -1 asks it of the system.
int32_t StorageFileOS_StatusPlain(int32_t directory, const char* leaf, StorageFileOSStatus* status,
                                  int64_t user = -1);
int32_t StorageFileOS_StatusOf(int32_t fd, StorageFileOSStatus* status);
// The open file's status from one status call, without the proof, as StorageFileOS_StatusPlain.
int32_t StorageFileOS_StatusPlainOf(int32_t fd, StorageFileOSStatus* status);
int32_t StorageFileOS_Duplicate(int32_t fd, int32_t* copy);
int32_t StorageFileOS_Rename(int32_t directory, const char* from, const char* to);
// A copy of the regular file `from` under the name `to`, which appears whole or not at all and
// never replaces an entry there (EEXIST): the copy is made without a name (O_TMPFILE) and linked,
// or, where the file system cannot, made under `scratch`, created exclusively, linked and the
// scratch name removed. The copy is the effective user's, mode 0600.
int32_t StorageFileOS_CopyBeside(int32_t directory, const char* from, const char* to, const char* scratch);
// Internal switch for the tests only: 0 makes every copy take the named way, as on a file system
// that cannot make unnamed files, so that way is run where the tests' file system could (default 1).
void StorageFileOS_SetUnnamedCopies(uint32_t allowed);
// Removes the entry only when it is a private file of the effective user, as the storage makes its
// record of copies (and an earlier version made its copies, recorded without their identity):
// EPERM for another user's entry, EEXIST for anything else. A missing entry is success. With
// anyMode, a regular file of the effective user that no second name reaches goes whatever its
// mode (one the caller reserved the name of before it was made there exclusively); with
// STORAGE_FILE_OS_OWN_LINK, a symbolic link of the effective user's too (made there the same way).
constexpr uint32_t STORAGE_FILE_OS_OWN_LINK = 2;
int32_t StorageFileOS_RemoveOwn(int32_t directory, const char* leaf, uint32_t anyMode = 0);
// Opens one of the storage's own files for reading, or reading and writing: with create a new
// one (mode 0600, never an existing entry: EEXIST), else an existing one only when it is a
// private file of the effective user (EPERM otherwise).
int32_t StorageFileOS_OpenOwn(int32_t directory, const char* leaf, uint32_t create, uint32_t write, int32_t* fd);
// Opens for reading a regular file of the effective user that nobody else may write, whatever
// number of names reaches it (a record of the storage's that was copied, moved or linked keeps its
// owner and mode): EPERM for anything else there.
int32_t StorageFileOS_OpenMine(int32_t directory, const char* leaf, int32_t* fd);
// Removes the name `leaf` only while it leads to the regular file of the effective user identified
// by device and inode, however many names reach it (its other names stay). Missing is success;
// EEXIST where anything else stands there.
int32_t StorageFileOS_RemoveName(int32_t directory, const char* leaf, uint64_t device, uint64_t inode);
// Calls each(user, name) for every entry of the directory but "." and ".." (each stops the walk by
// answering 0). 0 or the errno value of the listing.
int32_t StorageFileOS_ForEachName(int32_t directory, void* user, int32_t (*each)(void* user, const char* name));
// A new file of the directory that has no name yet (mode 0600, open for reading and writing), so
// that what identifies it can be recorded before any name leads to it. EOPNOTSUPP where the file
// system cannot make one.
int32_t StorageFileOS_OpenUnnamed(int32_t directory, int32_t* fd);
// Copies the whole of the regular file `from` of the directory into the open file fd.
int32_t StorageFileOS_CopyInto(int32_t directory, const char* from, int32_t fd);
// Gives a file made by OpenUnnamed, or one made under the scratch name `scratch` (when scratch is
// set), the name `to`: it appears whole or not at all, never replacing an entry there (EEXIST).
int32_t StorageFileOS_NameCopy(int32_t directory, int32_t fd, const char* scratch, const char* to);
// Opens the entry `leaf` only when it is the file identified by device and inode, a regular file
// of the effective user reached by this name alone: EEXIST (EPERM for another user's) otherwise.
int32_t StorageFileOS_OpenCopy(int32_t directory, const char* leaf, uint64_t device, uint64_t inode, uint64_t birth,
                               uint32_t write, int32_t* fd);
// Removes the entry `leaf` only when it is that file, as OpenCopy judges it. Missing is success.
int32_t StorageFileOS_RemoveCopy(int32_t directory, const char* leaf, uint64_t device, uint64_t inode, uint64_t birth);
// Holds the folder for this process's storage alone while *fd stays open: EBUSY when another holds it.
int32_t StorageFileOS_HoldFolder(const char* root, int32_t* fd);
// Everything written on the file system of root reaches the disk (names, data and modes alike):
// one flush for a whole version's files, taken before the manifest that names them is saved.
int32_t StorageFileOS_SyncFileSystem(const char* root);
// The same for the file system of the open folder (another the installation spans).
int32_t StorageFileOS_SyncFileSystemOf(int32_t fd);
// What was written to the open file reaches the disk.
int32_t StorageFileOS_SyncFile(int32_t fd);
// The bytes free to the effective user on the file system of the directory.
int32_t StorageFileOS_FreeSpace(int32_t directory, uint64_t* bytes);
// Gives the open file the permission bits of the directory's entry `leaf` (a regular file), the
// owner's read and write included and nobody else's write; nothing when leaf is no regular file.
int32_t StorageFileOS_ModeFrom(int32_t fd, int32_t directory, const char* leaf);
// Reads length bytes at offset; ERANGE when the file ends first.
int32_t StorageFileOS_ReadAt(int32_t fd, uint64_t offset, void* buffer, uint32_t length);
// Reads what there is at offset, at most length bytes (*got 0 at the end).
int32_t StorageFileOS_ReadSome(int32_t fd, uint64_t offset, void* buffer, uint32_t length, uint32_t* got);
// Anything but a directory; a directory itself (empty), with directory set.
int32_t StorageFileOS_Remove(int32_t directory, const char* leaf, uint32_t isDirectory);
// Erases from the folder `leaf` of directory the files and links `listed` answers 1 for (given
// their names from the storage's root: `prefix`, '/' and their path in the folder), then every
// folder left empty, the folder itself included, but only where it all goes: a folder goes only where
// `listed` answers 1 for its name with a '/' at the end (something is listed below it), and nothing
// is erased when anything would stay. Links are never followed, and no folder on another mount or
// of another user is entered. 0 once the folder is gone; EISDIR when anything stayed.
typedef uint32_t (*StorageFileOSListedFunc)(void* user, const char* name);
int32_t StorageFileOS_ClearListed(int32_t directory, const char* leaf, const char* prefix, void* user,
                                  StorageFileOSListedFunc listed);
// The open file's size and inode number, without the rest of its status.
int32_t StorageFileOS_SizeOf(int32_t fd, uint64_t* size, uint64_t* inode);
// Writes all of the bytes at the end of the file.
int32_t StorageFileOS_Append(int32_t fd, const void* bytes, uint32_t length);
int32_t StorageFileOS_ReadLink(int32_t directory, const char* leaf, char* buffer, int32_t size);
int32_t StorageFileOS_CreateLink(int32_t directory, const char* leaf, const char* target);
// The owner-write bit, so that an installed read-only file can be replaced.
int32_t StorageFileOS_EnsureWritable(int32_t directory, const char* leaf);
// Modification time in seconds since 1970 (the access time is kept).
int32_t StorageFileOS_SetModifiedTime(int32_t fd, double seconds);
// All three execute bits set or cleared.
int32_t StorageFileOS_SetExecutable(int32_t fd, uint32_t executable);
int32_t StorageFileOS_Truncate(int32_t fd, uint64_t length);
void StorageFileOS_Close(int32_t* fd);
// The name of `path` below the folder `root` once the links on the way to each are followed (the
// folder holding path and root itself must exist): 1 with the '/'-separated name, else 0 and an
// empty out.
int32_t StorageFileOS_NameBelow(const char* root, const char* path, char* out, size_t size);
// 4096 when the system does not say.
uint32_t StorageFileOS_PageSize();
