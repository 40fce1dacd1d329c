// The installation as a storage backend: the manifest's byte stream mapped onto the real files it
// names, read and written in place, files completed (size, name, time, attributes, links) and
// erased. Every name is held to the name rule and reached below the directory without links.
#pragma once

#include <cstdint>

#include "repository/storage_file_backend.h"

struct FileListMember;
struct MetaFile;
struct StorageFile;
struct StorageFileSweep;
struct StorageRequest;

enum : uint32_t {
    STORAGE_FILE_CLASS_ID = 0x59fc018b,
    // extraFileFlags bit set when system buffering is off.
    STORAGE_FILE_NO_BUFFER = 0x100,
};

// Options of the open word (printed by "Open"): the read and write bits, self-update, shared
// read, opened under the partial name, then extraFileFlags.
enum : uint32_t {
    STORAGE_FILE_OPEN_READ = 1,
    STORAGE_FILE_OPEN_WRITE = 2,
    STORAGE_FILE_OPEN_SELF_UPDATE = 4,
    STORAGE_FILE_OPEN_SHARED = 32,
    STORAGE_FILE_OPEN_PARTIAL = 128,
};

// The row of operations bound by the type "file" (StorageFile_Interface) and the print family,
// class name "StorageFile", where "Open", "Close", "Erase", "Collapse" and "File Complete" are
// verbose lines. The last release waits until no transfer holds an open file, then closes every
// one. Configure's context is the engine configuration (a Dictionary, or null), its dictionary the
// storage's own.
extern const StorageInterface StorageFile_Interface;
int64_t StorageFile_Create(void** instance);
int64_t StorageFile_AddRef(void* instance);
int64_t StorageFile_Release(void** instance);
int64_t StorageFile_SetPrintCallback(void* instance, Storage* storage,
                                     int64_t (*print)(Storage*, const char*, ...));
int64_t StorageFile_Configure(void* instance, Storage* storage, void* context, Dictionary* dictionary,
                              uint32_t* outFlags);
int64_t StorageFile_Shutdown(void* instance, Storage* storage);
int64_t StorageFile_SetActive(void* instance, Storage* storage, uint32_t active);
int64_t StorageFile_Dump(void* instance, Storage* storage, Dictionary* dictionary);
int64_t StorageFile_Process(void* instance, Storage* storage);
int64_t StorageFile_Exists(void* instance, StorageOperation* operation);
// The existence check of every member of the request, run on the calling thread where the
// storage is bound to this row (whose check answers at once): code is 0 when each member's file
// is in place as listed, else the answer of the first that is not. 0 (code 0) when the storage
// is bound to another row, or to none: its check is then to be asked through Storage_Exists.
// With a sweep, a file it found in place is taken as present without a status call of its own
// only while nothing the check depends on differs from what the sweep judged (see
// StorageFile_SweepStart); else, and for every file it did not find in place, the check is made.
// place, when given, is where in the sweep's manifest the file after the last one it answered for
// stands, carried from one call to the next by a caller that checks pieces in order, so that a
// piece's first file is seldom looked up by name; it changes no answer.
int64_t StorageFile_ExistsAtOnce(Storage* storage, StorageRequest* request, uint32_t* code,
                                 StorageFileSweep* sweep = nullptr, uint32_t* place = nullptr);
// 1 when the storage is bound to this row and has already completed the file of the request's
// manifest in this run (its completion would answer 0 at once); 0 otherwise, the completion then
// to be asked through Storage_FileComplete.
int64_t StorageFile_CompletedAtOnce(Storage* storage, StorageRequest* request, FileListMember* file);
// The status of every file an installed manifest lists, taken ahead of the existence checks that
// will ask for it (an update's, while its new manifest is parsed): for each file a verdict, "in place as
// listed" by the check's own rules, or not (not found, other, unknown: a failure tells nothing).
// STORAGE_FILE_SWEEP_TASKS tasks on the I/O worker each take the next chunk of files in turn and go
// back to the end of its queue between chunks, so what else is posted there is not held up behind
// the sweep. installed must be the manifest the storage is bound to (StorageFile_SetInstalled),
// and the storage no repair's: else, and for a storage not of this row, 0 and no sweep.
// The tasks read nothing of the storage but what the start copied, so it may be set up again while
// they run; the owner keeps the manifest (neither reset nor freed) until StorageFile_SweepFinish or
// StorageFile_SweepStop returned. The verdicts serve only checks of a storage that
// StorageFile_SweepFits; a check whose file no claim has judged yet judges what is left up to it.
enum : uint32_t { STORAGE_FILE_SWEEP_TASKS = 4 };
int64_t StorageFile_SweepStart(Storage* storage, MetaFile* installed, StorageFileSweep** sweep);
// Judges on the calling thread what no task has taken yet and waits for what they hold: on return
// every file has its verdict (but after a stop), and no task reads the manifest any more.
void StorageFile_SweepFinish(StorageFileSweep* sweep);
// No chunk is taken any more, and what tasks hold is waited for; a stopped sweep serves no check.
void StorageFile_SweepStop(StorageFileSweep* sweep);
// 1 when the storage is the one swept, set as when the sweep began (folder, by path and identity,
// copies' suffix, kept names, time and attribute rules), bound to the same installed manifest and
// not repairing; else 0 and its verdicts are not to be used.
int64_t StorageFile_SweepFits(Storage* storage, StorageFileSweep* sweep);
int64_t StorageFile_SweepAddRef(StorageFileSweep* sweep);
int64_t StorageFile_SweepRelease(StorageFileSweep** sweep);
int64_t StorageFile_Get(void* instance, StorageOperation* operation);
int64_t StorageFile_Put(void* instance, StorageOperation* operation);
int64_t StorageFile_Erase(void* instance, StorageOperation* operation);
int64_t StorageFile_FileErase(void* instance, StorageOperation* operation);
int64_t StorageFile_FileComplete(void* instance, StorageOperation* operation);
// The manifest of what is installed (null: none), held until the next call: a folder at a copy's
// name that only holds what it lists (an earlier version installed it there) is removed when the
// copy's name is needed; any other folder there is named and left.
void StorageFile_SetInstalled(void* instance, MetaFile* installed);
// The repository the storage works for: its copies are recorded under its mark (owner, up to 16
// characters; none: a repository not known), and a replay judges only that repository's entries
// (and, with the file each names, those of a repository not known) and keeps every other's as it
// is. kept is the local manifest's name below the folder (none when it lies elsewhere): it and
// the names beside it the installation keeps (StorageFilePath_IsKept) are never acted on as
// files of a manifest; one an installed manifest lists is named and left by its erase.
void StorageFile_SetOwner(void* instance, const char* owner, const char* kept);
// Every copy the storage makes is recorded, with the identity of the file made, before any name
// leads to it; once a sync has completed this removes the recorded copies that are still there and
// whose file the installed manifest does not list (with `continued`, a copy of a listed file holds
// progress to continue and stays on record; without, it goes too), the files a failed sync
// completed that the installed manifest does not list, and the folders made for them when left
// empty (null installed: nothing is listed). Nothing the record does not identify is judged,
// nothing on another mount is touched; a copy reached by a second name or given to another account
// is the user's or that account's now: named, left where it stands and taken off the record. Works
// for at most a tenth of a second a call: -1 when there is more to do, else 1, or 0 when anything
// stayed.
// With STORAGE_FILE_STRAY_PENDING in continued, installed is the version about to be installed,
// its manifest not saved yet: what was made for a name it lists stays on record, and so does a
// file of a failed version that the saved manifest (StorageFile_SetInstalled) lists.
constexpr uint32_t STORAGE_FILE_STRAY_PENDING = 2;
int64_t StorageFile_RemoveStrayCopies(void* instance, MetaFile* installed, uint32_t continued = 1);
// Why the last StorageFile_RemoveStrayCopies that answered 0 could not end its replay: the errno of
// the first record it could not write down or copy it could not remove, or 0 when all that stayed
// is held by another user, another mount or a second name (named and left by design).
int32_t StorageFile_ReplayError(void* instance);
// The end of a sync that failed or was stopped: each copy the storage made and still knows for its
// own, that did not become its file, goes (only while its name leads to that very file, a private
// file of the effective user reached by that name alone) and is taken off the record; one a
// transfer still holds, or that can no longer be proven the copy made, stays on record for the next
// run. After a completed sync's replay the storage knows none. 0 or the errno value of the first
// copy that could not go or of the record's rewrite (named).
int32_t StorageFile_RemoveMadeCopies(void* instance);
// Before a sync saves the manifest `next` over the installed one without keeping the installed
// one beside it: records every file the installed manifest lists and next does not, with what
// identifies it (as a copy that became its file), so that a run cut after the save still knows
// them for its own and a replay removes them. Only a regular file of the effective user reached
// by its name alone, and proven (its birth, or a token it is given), is recorded; what is
// another's, ignored or anything else is left. 0 or the errno value (nothing may be saved then).
int32_t StorageFile_RecordDropped(void* instance, MetaFile* next);
// Marks the installation unfinished in the record, lasting on disk, before a sync changes anything
// there: 0 or the errno value. The mark stays, through every replay, until StorageFile_SetFinished
// and the replay after it, so a run failed or killed in between leaves it for the next run to find.
// A sync that finds the mark there repairs: every file it completes gets the manifest's mode, the
// mode of a new file where the manifest lists no attributes.
int32_t StorageFile_MarkUnfinished(void* instance);
// The same, its flush on the I/O worker so that checks and fetches go on meanwhile: the entry is
// written here (0 or the errno value), and nothing may change the installation before
// StorageFile_MarkSettled answers 1 with *error 0. The flush's end signals threadId (0: none).
// EBUSY while an earlier one's flush has not been settled.
int32_t StorageFile_MarkStart(void* instance, uint32_t threadId);
// 0 while the mark's flush runs; 1 once none runs, *error its errno value (named) or 0.
int64_t StorageFile_MarkSettled(void* instance, int32_t* error);
// Whether the record marks the installation unfinished: 1, 0, or -1 when the record could not be
// read (its state unknown: a sync repairs, and fails if it cannot read it either).
int64_t StorageFile_IsUnfinished(void* instance);
// The sync has completed (the manifest naming every file is saved): the next replay lets the mark go.
void StorageFile_SetFinished(void* instance);
// Everything written on the installation's file system reaches the disk: 0 or the errno value.
int32_t StorageFile_Flush(void* instance);
// Internal switch for the benches only: each completed file and its folder are flushed on their own
// instead of the one flush before the manifest's save (default 0), so that both can be measured.
void StorageFile_SetFlushEachFile(uint32_t each);
// Internal switch for the tests only: the seconds a call of StorageFile_RemoveStrayCopies works
// before it answers -1 (default 0.1); each call judges at least one record.
void StorageFile_SetReplayBudget(double seconds);
int64_t StorageFile_VPrint(StorageFile* object, int32_t indent, const char* format, va_list args);
int64_t StorageFile_Print(StorageFile* object, const char* format, ...);
int64_t StorageFile_PrintTabbed(StorageFile* object, int32_t indent, const char* format, ...);
int64_t StorageFile_IsVerboseLevel(StorageFile* object, int32_t level);
int64_t StorageFile_VerboseLog(StorageFile* object, int32_t level, const char* format, ...);
int64_t StorageFile_SetPrintCallback(StorageFile* object, void* user, ClassPrintCallback callback);
int64_t StorageFile_GetPrintCallback(StorageFile* object, void** user, ClassPrintCallback* callback);
int64_t StorageFile_SetPrintIdentifier(StorageFile* object, const char* text);
int64_t StorageFile_SetVerbose(StorageFile* object, uint32_t verbose);
int64_t StorageFile_GetVerbose(StorageFile* object, uint32_t* verbose);
int64_t StorageFile_PrintInternal(void* user, const char* format, ...);
