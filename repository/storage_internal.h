// The storage's record and its step records, shared by the files of the storage front (object and
// settings, step chains).
#pragma once

#include <atomic>
#include <cstdint>

#include "core/runtime/class.h"
#include "core/runtime/io_worker.h"
#include "repository/storage.h"

struct CriticalSection;
struct Pool;
struct StorageChallenge;

typedef void (*StorageStepFunc)(StorageOperation* operation);

enum : uint32_t {
    STORAGE_OPERATION_ALWAYS_RUN = 1,
    // Record kinds, for the accessors the backends use.
    STORAGE_SLOT_NONE = 0,
    STORAGE_SLOT_REQUEST = 1,
    STORAGE_SLOT_METAFILE = 2,
    STORAGE_SLOT_FILE = 3,
    STORAGE_SLOT_MEMBER = 4,
    STORAGE_SLOT_INDEX = 5,
    STORAGE_SLOT_CACHE = 6,
    STORAGE_SLOT_USER = 7,
    STORAGE_CHALLENGE_CLASS_ID = 0x5c3e91d7,
};

// One step of a chain; posted to the I/O worker as its item.
struct StorageOperation {
    IOWorkerItem Item;
    Storage* Owner;
    uint32_t Flags;
    uint8_t RequestKind;
    uint8_t ArgumentKind;
    StorageStepFunc Step;
    void* RequestSlot;
    void* ArgumentSlot;
    void* UserSlot;
    uint32_t Code;
    uint32_t ExtendedCode;
    StorageOperation* Next;
    // The object the chain keeps alive until its completion has been delivered (completion step).
    void* Keep;
};

// A decrypt step parked on a password prompt; observed under its own instance id.
struct StorageChallenge {
    Class Header;
    StorageOperation* Operation;
    StorageChallenge* Previous;
    StorageChallenge* Next;
    StorageChallenge* WaitingNext;
};

struct Storage {
    Class Header;
    ClassPrint Print;
    const StorageInterface* Row;
    void* Instance;
    std::atomic<uint32_t> Flags;
    std::atomic<uint32_t> ErrorCount;
    std::atomic<uint32_t> PendingRequests;
    std::atomic<bool> ShuttingDown;
    char Identifier[STORAGE_IDENTIFIER_SIZE];
    char Password[STORAGE_PASSWORD_SIZE];
    double IOTime;
    EventQueue* Queue;
    void* TrafficController;
    MeterRW* Meter;
    void* DeltaUser;
    StorageDeltaSourceFunc DeltaFunction;
    Pool* Operations;
    Pool* Challenges;
    // Guards the password, the last-step time and the bound row and instance.
    CriticalSection* Lock;
    // Guards the list of waiting challenges.
    CriticalSection* ChallengeLock;
    StorageChallenge* ChallengeHead;
    StorageChallenge* ChallengeTail;
    uint32_t ChallengeCount;
};

namespace storage_internal {

// Fails every waiting challenge's operation with 989/1.
void ChallengesShutdown(Storage* storage);

} // namespace storage_internal

// Puts the built-in backends ("file", "filePiece", "http") in the storage's table of rows; called
// once, on first use.
void Storage_RegisterBuiltinInterfaces();
