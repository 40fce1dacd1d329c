// The single-instance marker on this system: a 4128-byte shared-memory object named after the
// MD5 of the user id and the marker, whose owner mark tells later starts that a first instance
// runs, and whose one message slot carries a later start's data to it.
#include "core/linux/platform_singleton.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/crypto/md5.h"
#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

// Shared between processes; every field is read and written with atomics or after the state
// word's compare-and-swap has handed the message to one side.
struct SingletonBlock {
    char OwnerMark[PLATFORM_SINGLETON_MARK_SIZE];
    uint32_t State;
    uint32_t Length;
    char Data[PLATFORM_SINGLETON_DATA_CAPACITY];
};
static_assert(offsetof(SingletonBlock, State) == 24 && offsetof(SingletonBlock, Length) == 28);
static_assert(offsetof(SingletonBlock, Data) == 32 &&
              sizeof(SingletonBlock) == PLATFORM_SINGLETON_BLOCK_SIZE);

// Byte 0 of the owner mark while a later start is asking whether the owner still lives.
constexpr char kProbe = 'z';
constexpr int32_t kPollMs = 1000;
constexpr int32_t kSendRetryMs = 500;
constexpr int32_t kSendRetries = 40;

uint8_t LoadMarkByte(SingletonBlock* block) {
    return __atomic_load_n(reinterpret_cast<uint8_t*>(block->OwnerMark), __ATOMIC_SEQ_CST);
}

// Ownership changes hands only through a compare-and-swap of the mark's first eight bytes, so two
// starts that find the marker free (or its owner gone) at the same moment cannot both take it.
uint64_t* MarkWord(SingletonBlock* block) {
    return reinterpret_cast<uint64_t*>(block->OwnerMark);
}

uint64_t LoadMarkWord(SingletonBlock* block) {
    return __atomic_load_n(MarkWord(block), __ATOMIC_SEQ_CST);
}

uint8_t FirstByte(uint64_t word) {
    uint8_t bytes[sizeof(word)];
    memcpy(bytes, &word, sizeof(word));
    return bytes[0];
}

// The first 31 hexadecimal digits of the MD5 of "<effective user id>:<marker name>": each user's
// instances meet in an object of their own. The id comes first and ends at the colon, so no two
// (user, name) pairs hash the same text.
void ObjectNameOf(const char* name, char* objectName, int32_t capacity) {
    char user[16];
    const int32_t userLength = String_Print(user, sizeof(user), "%u:", (unsigned)geteuid());
    MD5 md5;
    MD5_Stack(&md5);
    MD5_Process(&md5, user, (uint32_t)userLength);
    MD5_Process(&md5, name, (uint32_t)strlen(name));
    MD5_Generate(&md5);
    MD5_GetString(&md5, 0, objectName, capacity);
    MD5_Unstack(&md5);
}

// The object's name is known to everyone, so another user may have created it first to pose as
// a running instance or to read what later starts send: only an object of this user that nobody
// else may open is used.
bool IsPrivateObject(const struct stat& info) {
    return info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

void FlushAsync(void* map, size_t length) {
    // The mapping starts on a page, as msync requires; for a memory object this only orders the
    // stores for other mappers, it never waits.
    msync(map, length, MS_ASYNC);
}

} // namespace

namespace core::posix {

class AppTrackImpl final : public AppTrack {
  public:
    AppTrackImpl() = default;
    ~AppTrackImpl() override;
    bool AcquireWithTimeout(int32_t timeoutMs) override;
    bool ReadData() override;
    bool WriteData(std::string_view data) override;

  private:
    SingletonBlock* Block() const { return static_cast<SingletonBlock*>(Map); }
    bool Mapped() const { return Map != MAP_FAILED; }
    // Writes this process's owner mark over `expected` (the mark word as last read); false when
    // the word changed meanwhile. A non-empty object name makes this process the owner.
    bool StartTracking(const char* objectName, uint64_t expected);
    bool SetUpFailed(const char* format, const char* objectName, int32_t fd);
    // Claims the message slot for this sender; false when it is busy.
    bool ClaimSlot();
    bool LockSlot(bool lock);

    char TrackedName[PLATFORM_SINGLETON_OBJECT_NAME_CAPACITY] = "";
    void* Map = MAP_FAILED;
    // The object, kept open for the sender's lock.
    int32_t Fd = -1;
    bool SlotLocked = false;
};

AppTrackImpl::~AppTrackImpl() {
    if (Mapped()) munmap(Map, PLATFORM_SINGLETON_BLOCK_SIZE);
    Map = MAP_FAILED;
    if (Fd >= 0) close(Fd);
    Fd = -1;
    // Only the owner removes the object: a start that merely probed leaves it to its owner.
    if (TrackedName[0]) shm_unlink(TrackedName);
}

bool AppTrackImpl::StartTracking(const char* objectName, uint64_t expected) {
    // The hexadecimal text of the mapping's address: private to this owner and never 0 or 'z' in
    // its first byte.
    static const char kDigits[] = "0123456789abcdef";
    char mark[PLATFORM_SINGLETON_MARK_SIZE] = {};
    const uint64_t address = reinterpret_cast<uintptr_t>(Map);
    for (int32_t i = 0; i < 16; i++) mark[i] = kDigits[(address >> (60 - 4 * i)) & 15];
    uint64_t word = 0;
    memcpy(&word, mark, sizeof(word));
    SingletonBlock* block = Block();
    if (!__atomic_compare_exchange_n(MarkWord(block), &expected, word, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST))
        return false;
    // Probers read only byte 0; the rest of the mark is this owner's alone.
    for (int32_t i = (int32_t)sizeof(word); i < PLATFORM_SINGLETON_MARK_SIZE; i++)
        __atomic_store_n(&block->OwnerMark[i], mark[i], __ATOMIC_RELAXED);
    FlushAsync(Map, PLATFORM_SINGLETON_MARK_SIZE);
    if (objectName[0]) String_CopyLength(TrackedName, objectName, sizeof(TrackedName));
    return true;
}

bool AppTrackImpl::SetUpFailed(const char* format, const char* objectName, int32_t fd) {
    const PlatformErrorCode error = Platform_GetLastError();
    Log_Error(format, objectName, error);
    if (fd >= 0) close(fd);
    shm_unlink(objectName);
    return true;
}

bool AppTrackImpl::AcquireWithTimeout(int32_t timeoutMs) {
    if (Mapped()) return true;
    const char* name = GetName();
    if (!name[0]) {
        Log_Error("App name is not specified\n");
        return true;
    }
    // 31 digits, not 32: the buffer holds 32 bytes with the terminator, and the name is what
    // every other instance of this user derives in the same way.
    char objectName[PLATFORM_SINGLETON_OBJECT_NAME_CAPACITY] = "";
    ObjectNameOf(name, objectName, sizeof(objectName));

    const int32_t fd = shm_open(objectName, O_RDWR | O_CREAT, 0600);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        const PlatformErrorCode error = Platform_GetLastError();
        Log_Error("Unable to open shared memory object %s [LE: %d]\n", objectName, error);
        if (fd >= 0) close(fd);
        return true;
    }
    // Checked before anything is written to it. Refused, the start runs alone as after any
    // set-up failure; the object is not ours to remove.
    if (!IsPrivateObject(info)) {
        Log_Error("Shared memory object %s refused: not owned by this user or open to others\n", objectName);
        close(fd);
        return true;
    }
    // Sizing an existing object may be refused (EINVAL) where objects cannot be resized; what
    // counts is that the object holds the whole block afterwards, since touching a mapped page
    // past its end would stop the process. Whatever else sits under the name (a FIFO, a
    // truncated object) is reported and removed so that the next start can create it afresh.
    if (ftruncate(fd, PLATFORM_SINGLETON_BLOCK_SIZE) != 0 && errno != EINVAL)
        return SetUpFailed("Unable to write file %s [LE: %d]\n", objectName, fd);
    if (fstat(fd, &info) != 0) return SetUpFailed("Unable to write file %s [LE: %d]\n", objectName, fd);
    if (!S_ISREG(info.st_mode) || info.st_size != PLATFORM_SINGLETON_BLOCK_SIZE) {
        errno = EINVAL;
        return SetUpFailed("Unable to write file %s [LE: %d]\n", objectName, fd);
    }
    void* map = mmap(nullptr, PLATFORM_SINGLETON_BLOCK_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return SetUpFailed("Unable to map file %s [LE: %d]\n", objectName, fd);
    Map = map;
    Fd = fd;
    SingletonBlock* block = Block();

    uint64_t word = LoadMarkWord(block);
    if (FirstByte(word) == 0 && StartTracking(objectName, word)) return true;

    // Someone owns it (or took it just now). Without time to wait, that is the answer.
    if (timeoutMs < 1) return false;
    __atomic_store_n(reinterpret_cast<uint8_t*>(block->OwnerMark), (uint8_t)kProbe, __ATOMIC_SEQ_CST);
    FlushAsync(Map, 1);
    if (LoadMarkByte(block) != (uint8_t)kProbe) return false;

    // A live owner answers the probe on its next tick by re-writing its mark.
    const int64_t polls = ((int64_t)timeoutMs + kPollMs - 1) / kPollMs;
    for (int64_t i = 0; i < polls; i++) {
        Platform_SleepMS(kPollMs);
        if (LoadMarkByte(block) != (uint8_t)kProbe) return false;
    }
    // No answer: the owner is gone. Take over its block as it is, unless another start that
    // probed at the same time got there first.
    word = LoadMarkWord(block);
    if (FirstByte(word) != (uint8_t)kProbe) return false;
    return StartTracking(objectName, word);
}

bool AppTrackImpl::ReadData() {
    if (!Mapped()) return false;
    // Only the owner answers probes and takes messages: a start that found another instance
    // must neither keep a dead owner's marker alive nor consume what was sent to the owner.
    if (!TrackedName[0]) return false;
    SingletonBlock* block = Block();
    const uint64_t word = LoadMarkWord(block);
    if (FirstByte(word) == (uint8_t)kProbe) StartTracking("", word);

    const uint32_t state = __atomic_load_n(&block->State, __ATOMIC_ACQUIRE);
    if (state == PLATFORM_SINGLETON_FREE || state == PLATFORM_SINGLETON_WRITING) return true;

    // The message is copied out and the block freed before the receiver runs: the receiver then
    // reads bytes no sender can change, and may end the marker (and this tracker) itself.
    const uint32_t length = __atomic_load_n(&block->Length, __ATOMIC_RELAXED);
    const bool valid = state == PLATFORM_SINGLETON_READY && length <= PLATFORM_SINGLETON_DATA_CAPACITY;
    char message[PLATFORM_SINGLETON_DATA_CAPACITY + 1];
    if (valid) {
        memcpy(message, block->Data, length);
        message[length] = 0;
    } else {
        Log_Error("Invalid data from another instance discarded (state %u, length %u)\n", state, length);
    }
    memset(block->Data, 0, sizeof(block->Data));
    __atomic_store_n(&block->Length, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&block->State, (uint32_t)PLATFORM_SINGLETON_FREE, __ATOMIC_RELEASE);
    FlushAsync(Map, PLATFORM_SINGLETON_BLOCK_SIZE);

    void* user = nullptr;
    AppMarkDataCallback function = nullptr;
    // Without a receiver the message is dropped; the block is free again either way.
    if (valid && GetDataCallback(&user, &function)) function(user, message, (int32_t)length);
    return true;
}

// The sender's lock on the state word: an open-file-description lock, which the system drops
// when its holder dies, so that a claim cannot outlive its sender.
bool AppTrackImpl::LockSlot(bool lock) {
    struct flock range;
    memset(&range, 0, sizeof(range));
    range.l_type = lock ? F_WRLCK : F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = offsetof(SingletonBlock, State);
    range.l_len = sizeof(uint32_t);
    int result;
    do result = fcntl(Fd, F_OFD_SETLK, &range);
    while (result != 0 && errno == EINTR);
    return result == 0;
}

bool AppTrackImpl::ClaimSlot() {
    SingletonBlock* block = Block();
    SlotLocked = LockSlot(true);
    // Held by a live sender. Without the lock at all (a system that lacks it) the state word
    // alone decides, as it must.
    if (!SlotLocked && (errno == EAGAIN || errno == EACCES)) return false;
    if (Platform_CAS(&block->State, PLATFORM_SINGLETON_WRITING, PLATFORM_SINGLETON_FREE) == PLATFORM_SINGLETON_FREE)
        return true;
    // Claimed, yet no live sender holds the lock: its sender died before publishing. The slot
    // is this sender's now, and its message replaces whatever was left half-written.
    if (SlotLocked && __atomic_load_n(&block->State, __ATOMIC_ACQUIRE) == PLATFORM_SINGLETON_WRITING) return true;
    if (SlotLocked) LockSlot(false);
    SlotLocked = false;
    return false;
}

bool AppTrackImpl::WriteData(std::string_view data) {
    if (!Mapped()) return false;
    SingletonBlock* block = Block();
    bool claimed = ClaimSlot();
    for (int32_t retry = 0; !claimed && retry < kSendRetries; retry++) {
        Platform_SleepMS(kSendRetryMs);
        claimed = ClaimSlot();
    }
    if (!claimed) {
        Log_Error("Unable to send data to the first instance\n");
        return false;
    }
    constexpr uint32_t kCapacity = PLATFORM_SINGLETON_DATA_CAPACITY;
    const uint32_t length = data.size() < kCapacity ? (uint32_t)data.size() : kCapacity;
    if (length) memcpy(block->Data, data.data(), length);
    __atomic_store_n(&block->Length, length, __ATOMIC_RELAXED);
    const bool published = Platform_CAS(&block->State, PLATFORM_SINGLETON_READY,
                                        PLATFORM_SINGLETON_WRITING) == PLATFORM_SINGLETON_WRITING;
    FlushAsync(Map, PLATFORM_SINGLETON_BLOCK_SIZE);
    if (SlotLocked) LockSlot(false);
    SlotLocked = false;
    return published;
}

} // namespace core::posix

core::AppTrack* core::AppTrack::Create() {
    return new core::posix::AppTrackImpl();
}

namespace {

AppMark CurrentMark() {
    return GlobalPlatform ? static_cast<AppMark>(GlobalPlatform->Slots[PLATFORM_SLOT_APP_MARK]) : nullptr;
}

} // namespace

int64_t Platform_Singleton(const char* applicationName, int32_t timeoutMs) {
    ASSERT_POINTER(applicationName);
    ASSERT_POINTER(GlobalPlatform);
    AppMark mark = CurrentMark();
    if (!mark) {
        AppMark_Create(&mark);
        char name[PLATFORM_SINGLETON_NAME_CAPACITY];
        String_Print(name, sizeof(name), "%s-EXCLUSIVE", applicationName);
        AppMark_SetName(mark, name);
        GlobalPlatform->Slots[PLATFORM_SLOT_APP_MARK] = mark;
    }
    return !AppMark_AcquireWithTimeout(mark, timeoutMs);
}

int64_t Platform_SingletonGetName(char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    AppMark mark = CurrentMark();
    return mark ? AppMark_GetName(mark, buffer, capacity) : 0;
}

int64_t Platform_SingletonSetDataCallback(void* user, AppMarkDataCallback function) {
    AppMark mark = CurrentMark();
    return mark ? AppMark_SetOnDataCallback(mark, user, function) : 0;
}

int64_t Platform_SingletonReadData() {
    AppMark mark = CurrentMark();
    return mark ? AppMark_ReadData(mark) : 0;
}

int64_t Platform_SingletonSendData(const void* data, int32_t size) {
    AppMark mark = CurrentMark();
    return mark ? AppMark_WriteData(mark, data, size) : 0;
}

int64_t Platform_SingletonEnd() {
    AppMark mark = CurrentMark();
    if (!mark) return 1;
    GlobalPlatform->Slots[PLATFORM_SLOT_APP_MARK] = nullptr;
    AppMark_Delete(&mark);
    return 1;
}
