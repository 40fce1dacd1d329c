// Acting on the entries of an open directory by name: entering subdirectories, status, removal,
// creation, links, modes and owners, never through a symbolic link, so that a tree operation
// stays inside the directory it holds open whatever happens to the paths above it meanwhile.
#pragma once

#include <cstdint>

struct stat;

enum : int32_t {
    // The `at` of the functions below that names no open directory: the name is then a path,
    // taken from the current directory as any path is (links in its directory part followed).
    PLATFORM_TREE_CWD = -100,
};

// What an entry is, whatever its name: compared when a directory is entered again by name.
struct PlatformTreeIdentity {
    uint64_t Device;
    uint64_t Inode;
};

// The mount an entry lies on: its device and, where the system tells it, the kernel's mount id,
// which also tells a bind mount (of the same file system or of a part of it) apart; 0 when the
// system gives none, and then only the device is compared.
struct PlatformTreeMount {
    uint64_t Device;
    uint64_t Mount;
};

// Opens the directory `name` in `at` to act on its entries (the descriptor lists nothing; it
// serves as the `at` of later calls and is closed with Platform_Close). A final symbolic link
// is refused (ELOOP) unless follow is 1, which is for a root named by a caller. The identity is
// filled when asked for.
int64_t Platform_TreeOpenDirectory(int32_t at, const char* name, uint32_t follow, int32_t* directory,
                                   PlatformTreeIdentity* identity);
// The entry's own status (a final link is not followed); zeroed first.
int64_t Platform_TreeStat(int32_t at, const char* name, struct stat* info);
// The mount of the entry itself (a final link is not followed, an automount point not triggered);
// the empty name asks about `at` itself. Zeroed first.
int64_t Platform_TreeMountOf(int32_t at, const char* name, PlatformTreeMount* mount);
// Both on one mount: the same device, and the same mount id where both are known.
int64_t Platform_TreeSameMount(const PlatformTreeMount* a, const PlatformTreeMount* b);
// Anything but a directory (a link itself); a directory answers false (EISDIR).
int64_t Platform_TreeDeleteFile(int32_t at, const char* name);
// An empty directory; a link is refused (ENOTDIR).
int64_t Platform_TreeRemoveDirectory(int32_t at, const char* name);
// Mode 0777 less the creation mask, then the group fix-up on the new directory itself; an
// existing entry answers false (EEXIST).
int64_t Platform_TreeCreateDirectory(int32_t at, const char* name);
// The link's target, terminated; a target that does not fit size is refused (ENAMETOOLONG).
int64_t Platform_TreeReadLink(int32_t at, const char* name, char* buffer, int32_t size);
int64_t Platform_TreeCreateSymLink(int32_t at, const char* name, const char* target);
// The permission bits (mode & 07777) of the entry itself, changed on a descriptor of it. A
// symbolic link is left as it is (true): its own mode means nothing here, and following it
// would change a file outside the tree it stands in. Sockets and device nodes, which are never
// opened for this, can only be changed where the system has fchmodat2.
int64_t Platform_TreeChangeMode(int32_t at, const char* name, uint32_t mode);
// Owner and group of the entry itself (of a link, the link's own); (uint32_t)-1 keeps one.
int64_t Platform_TreeChangeOwner(int32_t at, const char* name, uint32_t user, uint32_t group);
// The group fix-up after creating `item` (an open descriptor of it) in a directory whose status
// is given: in a directory of another user, or a group-writable one, an item of ours that
// already lets its group read it gets group write too. A private item stays private.
int64_t Platform_TreeGroupFixup(const struct stat* directory, int32_t item);
