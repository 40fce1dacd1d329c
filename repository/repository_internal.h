// The repository's object, shared by its files (state machine, error rules, dump, script class).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "repository/repository.h"

struct Alias;
struct BitField;
struct Catalog;
struct MetaFile;
struct StorageDelta;
struct StorageFileSweep;

enum : uint32_t { REPOSITORY_SLOT_CLASS_ID = 0x5e0a7c21 };

struct RepositoryRemote {
    RepositoryRemote* Next;
    Storage* Member;
    uint32_t Enabled;
};

struct RepositorySlot {
    uint32_t ClassId;
    RepositorySlot* Next;
    StorageRequest* Request;
    uint32_t Active;
    double ResumeTime;
};

struct Repository {
    Class Header;
    ClassPrint Print;
    RepositoryRemote* Remotes;
    int32_t RemoteCount;
    RepositorySlot* Slots;
    int32_t SlotCount;
    EventQueue* Queue;
    Dictionary* AppConfig;
    Dictionary* Config;
    Dictionary* Working;
    Alias* AliasDoc;
    Catalog* CatalogDoc;
    StorageCleanup* LocalCleanup;
    StorageCleanup* PendingCleanup;
    Storage* Local;
    Storage* Pending;
    uint32_t PendingConfigured;
    StorageDelta* Delta;
    MeterRW* LocalMeter;
    MeterRW* RemoteMeter;
    BitField* Mask;
    StorageCopy* Copy;
    StorageCopy* ApplyJob;
    // The installed files' status, taken while an update's manifest loads: this sync's own, handed
    // to its copy's run when it starts, dropped with the sync (see StartSweep in repository.cpp).
    StorageFileSweep* Sweep;
    // The same sweep once the start handed it to the copy's run, which its checks join: stopped
    // when the copy completes or the sync ends.
    StorageFileSweep* Sweeping;
    // A sweep wanted for the manifest that loads, started once its bytes are in: while they are
    // read the sweep's status calls would hold up each hand-off of the read.
    uint32_t SweepWanted;
    MetaFile* LocalMeta;
    MetaFile* RemoteMeta;
    // The manifest an update replaced, while the cleanup of what it dropped is unfinished: kept
    // beside the installed one, read back by the next run when a run is cut before that end.
    MetaFile* ReplacedMeta;
    uint32_t Replaced;      // kReplaced* of repository.cpp
    uint32_t ReplacedFound; // this refresh found one left by a cut run: the installation is not level
    uint32_t ReplacedChecked;
    uint32_t ReplacedUnread; // the disk failed to show it: looked at again at ReplacedResume
    // What holds the names kept beside the manifest and was named this refresh (hashes of the paths).
    uint64_t KeptNamed[8];
    uint32_t KeptNamedCount;
    uint32_t ReplacedErrors;
    double ReplacedResume;
    // The replaced manifest this process kept, by device, inode and proof (birth or token, 0 for
    // none) and by its bytes' proof as recorded: while its name leads to that very file, its end
    // needs no second read of its bytes.
    uint64_t ReplacedDevice, ReplacedInode, ReplacedIdentity, ReplacedProof;
    uint32_t KeptLeft;   // this refresh could not remove a record a cut run left: a sync ends it
    uint32_t KeptErrors; // the record's writes and its removal that failed, and when to try the next
    double KeptResume;
    CertStoreInterface* CertStore;
    uint32_t ThreadId;
    uint32_t ActionFlags;
    uint32_t StateFlags;
    uint32_t TimerFlags;
    uint32_t DeltaFailures;
    uint32_t Authenticate;
    uint32_t CleanupOn;
    uint32_t CatalogOn;
    uint32_t DeltaOn;
    uint32_t MaskOn;
    uint32_t Apply;
    uint32_t MetaFileSave;
    uint32_t LocalMetaConfigured;
    uint32_t WorkStarted;
    uint32_t StraySwept; // this sync's sweep of stray copies ran (its own, or the cleanup's)
    uint32_t StrayErrors; // its replays that failed, and when to try the next
    double StrayResume;
    uint32_t UnfinishedFound; // this refresh found the installation marked unfinished by a stopped run
    // This sync's unfinished mark: 1 while its flush runs (the copy's writes held meanwhile), 2 once
    // it failed, made again at StartResume; 0 once it lasts, or none is made.
    uint32_t Marking;
    uint32_t Flushed;         // this sync's files reached the disk before its manifest's save
    // The replaced manifest's name and record are made, and their folder not flushed yet: the
    // flush before the save flushes it (a flush of the installation's file system often has).
    uint32_t ReplacedUnflushed;
    uint32_t FlushErrors;
    uint32_t SaveScratchChosen; // this sync chose (and recorded, when SaveScratch holds it) its save's scratch
    // 1: this sync's save was begun while its copy ran, its rename held (SyncWork); 2: it was tried
    // then and did not begin (the save is made in its own turn).
    uint32_t SaveHeld;
    char SaveScratch[256];
    double FlushResume;
    uint32_t StartErrors; // this sync's starts that a fault of the disk stopped, and when to try the next
    double StartResume;
    uint32_t ErrorCount;
    uint32_t Failed; // a permanent error ended the work
    int32_t LastError[5];
    double StallTime;
    double ResumeTime;
    double TimerStart[32];
    double TimerTotal[32];
    char RemoteId[REPOSITORY_REMOTE_ID_SIZE];
    char CatalogUrl[1024]; // the catalogue last asked for: what it names is judged by where it came from
    char AliasUrl[1024];   // the alias document last asked for: named when the id it gave is refused
    char RemoteMetaUrl[1024]; // the remote manifest last asked for: named when it cannot be read
    char Name[REPOSITORY_NAME_SIZE];
    char MetaFilePath[REPOSITORY_NAME_SIZE];
    void* StateUser;
    RepositoryFlagChangeFunc StateFn;
    void* ActionUser;
    RepositoryFlagChangeFunc ActionFn;
};

// The manifest address a catalogue fetched from the web (catalog, its http or https address) names
// by location: an http(s) address as it is, or a name without a scheme read against the
// catalogue's address. 0 (url empty) for anything else (a "file:" address, another scheme, an empty
// name, a result that does not fit): a remote document never chooses a local file to read.
int64_t Repository_CatalogManifestUrl(const char* catalog, const char* location, char* url, int32_t size);
// An id that may stand as one segment of a catalogue's address: letters, digits, ".", "_" and "-",
// not "." or ".." alone.
int64_t Repository_IsCatalogId(const char* id);
// A catalogue's address below base: <base>/<remoteId>/catalog.json, or with a local id (the
// installed version) <base>/<remoteId>/<localId>/catalog.json. 0 (url empty) when an id is not a
// catalogue id or the address does not fit whole.
int64_t Repository_CatalogAddress(const char* base, const char* remoteId, const char* localId, char* url,
                                  int32_t size);
// Records a configuration error (source 9) and prints the message.
void Repository_ConfigError(Repository* repository, const char* format, ...);
// The pieces to leave out: every piece whose bit is clear in the Base64 "mask" text (one bit per
// piece, set = wanted). 0 when the text does not decode or holds fewer bits than pieces.
int64_t Repository_MaskBuild(BitField* mask, int32_t pieceCount, const char* text);
// Remote members: release every storage and empty the list.
void Repository_RemoteListFree(Repository* repository);
// The repository's print function handed to its storages.
int64_t Repository_StoragePrint(void* user, const char* format, ...);
// The record beside the local manifest as a run reads and writes it (KeptAt, KeptScratch,
// KeptClear of repository.cpp), for the fuzz target of that on-disk input.
// What stands at a name beside the manifest: 0 nothing, 1 the repository's own by the record, 2 anything else.
int32_t Repository_KeptAt(Repository* repository, const char* name);
// Reserves a scratch name beside the manifest in the record (scratch empty on failure): 0, the
// errno value, or -2 where the record's name is held by what is not the repository's own.
int32_t Repository_KeptScratch(Repository* repository, char* scratch, int32_t size);
// Removes what stopped saves left under the record's scratch names, then the record: 0 or the errno value.
int32_t Repository_KeptClear(Repository* repository);
