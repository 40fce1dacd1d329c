// A private directory of the user reached from the root one name at a time, so that no link or
// folder another user controls along the way can send the user's files somewhere else.
#pragma once

#include <cstdint>

// Opens the directory at the absolute path, walking it from "/" by descriptor: every folder
// passed through belongs to this user or to root and is open to no other writer unless it is
// sticky; a link is followed only when this user or root made it (at most 40 of them); the
// directory itself belongs to this user and no one else may write into it. With `make`, missing
// folders are made 0700 and a directory others may read or enter is closed to them (0700). True with
// *descriptor (O_RDONLY, close-on-exec) to be closed by the caller; false with *descriptor -1,
// *error an errno value and *reason a fixed text saying what was refused (which folder, and what
// would let it pass, Platform_SayFolderRefusal says).
int64_t Platform_OpenPrivateDirectory(const char* path, uint32_t make, int32_t* descriptor, int32_t* error,
                                      const char** reason);
// Opens the existing directory at the absolute path by the same walk, asking of it only what is
// asked of every folder passed through: it belongs to this user or root and no other user can
// change its names (others write into it only where it is sticky). For a place the user named
// that may be shared (a document's folder), reached without another user's link on the way.
int64_t Platform_OpenTrustedDirectory(const char* path, int32_t* descriptor, int32_t* error, const char** reason);
// Opens the file at the absolute path for writing inside its folder, reached as above: an existing
// folder is used as it is (it must already be closed to other writers), a missing one is made
// when `make`. The file is never followed when it is a link, must be a regular file of this user,
// and is created (or left) 0600; `append` writes at its end, else it is emptied. True with
// *descriptor (close-on-exec); false with *descriptor -1, *error and *reason as above.
int64_t Platform_OpenPrivateFile(const char* path, uint32_t make, uint32_t append, int32_t* descriptor,
                                 int32_t* error, const char** reason);
// Whether the desktop's settings (GSettings through dconf, or GLib's key file) may be asked: every
// folder they are read from or written to (the user database and key file under the configuration
// home, dconf's flag file under the runtime folder or the cache home, the compiled schemas under
// the data home) is reached by the walk above, and no other user can change its names, not even
// in a sticky folder: there a link planted at the flag file's name would have the settings client
// write through it. A folder that is missing is judged by the folder it would be made in, reached
// after every link on the way. 1 when all pass; else 0, said once per process as an ERROR line
// naming the folder and why, followed by the line of Platform_SayFolderRefusal.
int64_t Platform_CheckDesktopSettings();
// The toolkit's own folders, GLib's configuration, cache and data homes and the home itself
// (`which` 0, 1, 2, 3: the variable when set, else ~/.config, ~/.cache, ~/.local/share; $HOME, an
// empty or relative one refused), judged as the desktop's settings folders are. 1 with *buffer
// empty when the user's folder may be used; 1 with a private folder of ours for the toolkit
// instead (made 0700 under the program's private runtime folder) when it is refused; 0 when it is
// refused and no private folder could be had. A refusal is said as one ERROR line naming the
// folder, why, and what the toolkit gets instead, followed by the line of Platform_SayFolderRefusal.
int64_t Platform_GetToolkitFolder(uint32_t which, char* buffer, int32_t size);
// The folder the toolkit would take for `which` as above, without judging it: 0 with *buffer
// empty when there is none (an empty or relative HOME, a value too long).
int64_t Platform_GetToolkitBase(uint32_t which, char* buffer, int32_t size);
// Whether users other than this one and root may write into a folder of this mode and group:
// everyone where others may, and where the group may, when the group has another member (listed
// in the group database, even by a name that names no user, or a user whose primary group it is).
// The user database is walked once and each group looked up once, and what they said is
// remembered for 30 seconds (a judgement after that reads them again).
int64_t Platform_OthersCanWrite(uint32_t mode, uint32_t group);
// Says why the last folder or link refused on this thread by the functions above was refused, as
// one ERROR line naming it, its owner or the writers that are too many (every user; the group,
// with one of its other members) and what would let it pass (another owner, the sticky bit where
// a folder on the way may have it, taking the write away). Each folder is said once per process.
// 1 when a line was said; 0 when the last refusal was of another kind (a missing folder, a path
// too long), its path cannot be had, or it was said before.
int64_t Platform_SayFolderRefusal();
// The same line, without its level and line end, for the log, which cannot log while it opens its
// own file: 1 with it in buffer (and counted as said), 0 with buffer empty as above.
int64_t Platform_GetFolderRefusal(char* buffer, int32_t size);
// Keeps this thread's last refusal aside, leaving none (1), and puts it back (0): the log may open its file
// by a walk of its own inside another caller's line, between that caller's refusal and its explanation.
int64_t Platform_HoldFolderRefusal(uint32_t hold);
// Whether the open folder may take the files and folders a writer makes in it (an archive's
// entries, say), judged as the program's own folders are: it belongs to this user and no other
// user may write into it, sticky or not (another account could otherwise have made it first, or
// replace what is made there). 1 when it passes; 0 with *error and *reason, the refusal recorded
// so that Platform_SayFolderRefusal and Platform_GetFolderRefusal say its line.
int64_t Platform_JudgeOwnFolder(int32_t descriptor, int32_t* error, const char** reason);
// Whether the open folder may take a file a writer makes in it (a copy, a download, a document
// written whole), judged as a folder passed through is: it belongs to this user or root, and other
// users write into it only where it is sticky (there nobody else can rename or remove what we
// make, and the file itself is made exclusively). In such a shared folder, `name` (when given) must
// be free or our own: a file another account made there first is never replaced. 1 when it
// passes; 0 with errno EACCES (EPERM for another's file), said once per folder as one ERROR line
// naming the folder (or file), why, and what would let it pass.
int64_t Platform_JudgeWriterFolder(int32_t descriptor, const char* name);
// The identity (device and inode) of the folder or link the last refusal on this thread named
// (see Platform_SayFolderRefusal): 1 with it, 0 with both 0 when the last refusal named none.
int64_t Platform_GetLastRefusedIdentity(uint64_t* device, uint64_t* inode);
// The identity of the folder at the absolute path, every link followed: 0 when it cannot be had.
int64_t Platform_GetFolderIdentity(const char* path, uint64_t* device, uint64_t* inode);
// Walks the absolute path from the root by descriptor as the kernel would, following every link
// (whoever made it, at most 40), and compares the identity of each folder and link on the way
// (the root, each folder passed through or entered by "..", each link, the last name when it is a
// folder) with the `count` identities given: the index of the first one met, or -1 when none is
// (the walk ends at the first name missing, or at a file). The place is judged by where it leads,
// never by its spelling.
int32_t Platform_FindFolderOnPath(const char* path, const uint64_t* devices, const uint64_t* inodes, int32_t count);
// Forgets what the user and group databases said, so that the next judgement reads them again.
int64_t Platform_ForgetGroupMembers();
// Forgets as above and keeps at most `count` primary groups exactly from the next walk (0: the
// default), the rest in the set of bits: a test reaches them without a site of millions of users.
int64_t Platform_SetMostPrimaryGroupsForTesting(uint32_t count);
