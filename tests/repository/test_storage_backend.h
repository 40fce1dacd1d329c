// An in-memory storage backend for tests: the content stream (as the installed files hold it) or
// one blob per piece, a log of the operations called, answers to inject, and operations held back
// to complete later. Reach an instance with Storage_GetInterfaceHandle.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "core/runtime/dictionary.h"
#include "repository/storage.h"
#include "repository/storage_request.h"

struct TestStorageBackend {
    std::mutex Lock;
    int32_t RefCount = 1;
    // Piece mode: a Get puts the blob of each piece at the end of the content, a Put keeps the
    // whole content under the first piece index. Stream mode: members are slices of Stream.
    bool PieceMode = false;
    std::vector<uint8_t> Stream;
    std::map<int32_t, std::vector<uint8_t>> Pieces;
    // "Get 3" (piece index of the member), "Put 0", "Exists 1", "Erase 2", "FileErase",
    // "FileComplete", "Configure", "Shutdown", "SetActive 1", "Process".
    std::vector<std::string> Calls;
    // The thread each call ran on, in the order of Calls.
    std::vector<std::thread::id> Threads;
    // Answers by operation name ("Get", "Put", ...) instead of doing the work.
    std::map<std::string, std::pair<uint32_t, uint32_t>> Answers;
    // While set, operations wait in Held until CompleteHeld (Shutdown completes them with 989/1).
    bool Hold = false;
    std::vector<StorageOperation*> Held;
    int64_t ConfigureResult = 1;
    uint32_t ConfigureOutFlags = 0;
    Storage* PrintedTo = nullptr;

    std::vector<std::string> TakeCalls() {
        std::lock_guard<std::mutex> guard(Lock);
        std::vector<std::string> out;
        out.swap(Calls);
        return out;
    }

    void CompleteHeld(uint32_t code, uint32_t extendedCode) {
        std::vector<StorageOperation*> held;
        {
            std::lock_guard<std::mutex> guard(Lock);
            held.swap(Held);
        }
        for (StorageOperation* op : held) Storage_OperationComplete(op, code, extendedCode);
    }

    static TestStorageBackend* Of(void* instance) { return static_cast<TestStorageBackend*>(instance); }

    static int64_t Create(void** instance) {
        *instance = new TestStorageBackend;
        return 1;
    }
    static int64_t AddRef(void* instance) {
        std::lock_guard<std::mutex> guard(Of(instance)->Lock);
        Of(instance)->RefCount++;
        return 1;
    }
    static int64_t Release(void** instance) {
        TestStorageBackend* b = Of(*instance);
        *instance = nullptr;
        bool last = false;
        {
            std::lock_guard<std::mutex> guard(b->Lock);
            last = --b->RefCount == 0;
        }
        if (last) delete b;
        return 1;
    }
    static int64_t SetPrintCallback(void* instance, Storage* storage, StoragePrintFunc) {
        Of(instance)->PrintedTo = storage;
        return 1;
    }
    static int64_t Configure(void* instance, Storage*, void*, Dictionary*, uint32_t* outFlags) {
        TestStorageBackend* b = Of(instance);
        std::lock_guard<std::mutex> guard(b->Lock);
        b->Calls.push_back("Configure");
        if (outFlags) *outFlags |= b->ConfigureOutFlags;
        return b->ConfigureResult;
    }
    static int64_t Shutdown(void* instance, Storage*) {
        TestStorageBackend* b = Of(instance);
        {
            std::lock_guard<std::mutex> guard(b->Lock);
            b->Calls.push_back("Shutdown");
            b->Hold = false;
        }
        b->CompleteHeld(STORAGE_ERROR_STORAGE, STORAGE_EXTENDED_SHUTDOWN);
        return 1;
    }
    static int64_t SetActive(void* instance, Storage*, uint32_t active) {
        std::lock_guard<std::mutex> guard(Of(instance)->Lock);
        Of(instance)->Calls.push_back("SetActive " + std::to_string(active));
        return 1;
    }
    static int64_t Dump(void*, Storage*, Dictionary* dictionary) {
        Dictionary_SetStringByKey(dictionary, "backend", "test");
        return 1;
    }
    static int64_t Process(void* instance, Storage*) {
        std::lock_guard<std::mutex> guard(Of(instance)->Lock);
        Of(instance)->Calls.push_back("Process");
        return 1;
    }

    // Logs the call; true when the operation was answered or held instead of being done.
    bool Enter(const std::string& name, StorageOperation* op, std::string detail) {
        std::pair<uint32_t, uint32_t> answer;
        {
            std::lock_guard<std::mutex> guard(Lock);
            Calls.push_back(detail.empty() ? name : name + " " + detail);
            Threads.push_back(std::this_thread::get_id());
            if (Hold) {
                Held.push_back(op);
                return true;
            }
            auto it = Answers.find(name);
            if (it == Answers.end()) return false;
            answer = it->second;
        }
        Storage_OperationComplete(op, answer.first, answer.second);
        return true;
    }

    static std::string MemberIndex(StorageOperation* op) {
        StorageRequest* request = nullptr;
        StorageRequestMember* member = nullptr;
        uint32_t index = 0;
        if (Storage_OperationGetRequest(op, &request) && Storage_OperationGetMember(op, &member))
            StorageRequest_MemberGetIndex(request, member, &index);
        return std::to_string(index);
    }

    // The member's place in the buffer in the request's current form.
    static uint32_t Position(StorageRequest* request, StorageRequestMember* member, bool padded) {
        uint32_t offset = 0;
        if (padded)
            StorageRequest_MemberGetBufferOffset(request, member, &offset);
        else
            StorageRequest_MemberGetUnpadBufferOffset(request, member, &offset);
        return offset;
    }

    static int64_t Get(void* instance, StorageOperation* op) {
        TestStorageBackend* b = Of(instance);
        if (b->Enter("Get", op, MemberIndex(op))) return 1;
        Storage* storage = nullptr;
        StorageRequest* request = nullptr;
        StorageRequestMember* member = nullptr;
        Storage_OperationGetStorage(op, &storage);
        Storage_OperationGetRequest(op, &request);
        Storage_OperationGetMember(op, &member);
        uint32_t flags = 0, length = 0, padding = 0, index = 0, content = 0, size = 0;
        uint64_t offset = 0;
        Storage_GetFlags(storage, &flags);
        StorageRequest_MemberGetLength(request, member, &length);
        StorageRequest_MemberGetPadding(request, member, &padding);
        StorageRequest_MemberGetOffset(request, member, &offset);
        StorageRequest_MemberGetIndex(request, member, &index);
        StorageRequest_GetContentLength(request, &content);
        StorageRequest_AllocSize(request, &size);
        uint8_t* buffer = nullptr;
        if (!StorageRequest_GetPointer(request, &buffer)) {
            Storage_OperationComplete(op, STORAGE_ERROR_UNDERFLOW, 0);
            return 1;
        }
        uint32_t code = 0;
        {
            std::lock_guard<std::mutex> guard(b->Lock);
            if (b->PieceMode) {
                if (StorageRequest_MemberIsIndexFirst(request, member)) {
                    auto it = b->Pieces.find((int32_t)index);
                    if (it == b->Pieces.end()) {
                        code = STORAGE_NOT_FOUND;
                    } else if (it->second.size() > size - content) {
                        code = STORAGE_ERROR_SIZE_LIMIT;
                    } else {
                        if (!it->second.empty()) memcpy(buffer + content, it->second.data(), it->second.size());
                        StorageRequest_AddContentLength(request, (uint32_t)it->second.size());
                    }
                }
            } else {
                const bool padded = (flags & STORAGE_FLAG_PAD) != 0;
                if (offset + length > b->Stream.size()) {
                    code = STORAGE_ERROR_UNDERFLOW;
                } else {
                    if (length) memcpy(buffer + Position(request, member, padded), b->Stream.data() + offset, length);
                    StorageRequest_AddContentLength(request, length + (padded ? padding : 0));
                }
            }
        }
        StorageRequest_ReleasePointer(request, &buffer);
        Storage_OperationComplete(op, code, 0);
        return 1;
    }

    static int64_t Put(void* instance, StorageOperation* op) {
        TestStorageBackend* b = Of(instance);
        if (b->Enter("Put", op, MemberIndex(op))) return 1;
        StorageRequest* request = nullptr;
        StorageRequestMember* member = nullptr;
        Storage_OperationGetRequest(op, &request);
        Storage_OperationGetMember(op, &member);
        uint32_t length = 0, index = 0, content = 0;
        uint64_t offset = 0;
        StorageRequest_MemberGetLength(request, member, &length);
        StorageRequest_MemberGetOffset(request, member, &offset);
        StorageRequest_MemberGetIndex(request, member, &index);
        StorageRequest_GetContentLength(request, &content);
        uint8_t* buffer = nullptr;
        if (!StorageRequest_GetPointer(request, &buffer)) {
            Storage_OperationComplete(op, STORAGE_ERROR_UNDERFLOW, 0);
            return 1;
        }
        {
            std::lock_guard<std::mutex> guard(b->Lock);
            if (b->PieceMode) {
                if (StorageRequest_MemberIsIndexFirst(request, member))
                    b->Pieces[(int32_t)index] = std::vector<uint8_t>(buffer, buffer + content);
            } else {
                const bool padded = StorageRequest_HasFlag(request, STORAGE_FLAG_PAD) != 0;
                if (b->Stream.size() < offset + length) b->Stream.resize(offset + length);
                if (length) memcpy(b->Stream.data() + offset, buffer + Position(request, member, padded), length);
            }
        }
        StorageRequest_ReleasePointer(request, &buffer);
        Storage_OperationComplete(op, 0, 0);
        return 1;
    }

    static int64_t Exists(void* instance, StorageOperation* op) {
        TestStorageBackend* b = Of(instance);
        if (b->Enter("Exists", op, MemberIndex(op))) return 1;
        StorageRequest* request = nullptr;
        StorageRequestMember* member = nullptr;
        Storage_OperationGetRequest(op, &request);
        Storage_OperationGetMember(op, &member);
        uint32_t length = 0, index = 0;
        uint64_t offset = 0;
        StorageRequest_MemberGetLength(request, member, &length);
        StorageRequest_MemberGetOffset(request, member, &offset);
        StorageRequest_MemberGetIndex(request, member, &index);
        bool present = false;
        {
            std::lock_guard<std::mutex> guard(b->Lock);
            present = b->PieceMode ? b->Pieces.count((int32_t)index) != 0 : offset + length <= b->Stream.size();
        }
        Storage_OperationComplete(op, present ? 0u : (uint32_t)STORAGE_NOT_FOUND, 0);
        return 1;
    }

    static int64_t Erase(void* instance, StorageOperation* op) {
        int32_t index = -1;
        Storage_OperationGetPieceIndex(op, &index);
        TestStorageBackend* b = Of(instance);
        if (b->Enter("Erase", op, std::to_string(index))) return 1;
        uint32_t code = 0;
        {
            std::lock_guard<std::mutex> guard(b->Lock);
            code = b->Pieces.erase(index) ? 0u : (uint32_t)STORAGE_NOT_FOUND;
        }
        Storage_OperationComplete(op, code, 0);
        return 1;
    }

    static int64_t FileErase(void* instance, StorageOperation* op) {
        if (!Of(instance)->Enter("FileErase", op, "")) Storage_OperationComplete(op, 0, 0);
        return 1;
    }

    static int64_t FileComplete(void* instance, StorageOperation* op) {
        if (!Of(instance)->Enter("FileComplete", op, "")) Storage_OperationComplete(op, 0, 0);
        return 1;
    }
};

inline const StorageInterface* TestStorageInterface() {
    static const StorageInterface row = {
        "StorageTest",
        TestStorageBackend::Create,
        TestStorageBackend::AddRef,
        TestStorageBackend::Release,
        TestStorageBackend::SetPrintCallback,
        TestStorageBackend::Configure,
        TestStorageBackend::Shutdown,
        TestStorageBackend::SetActive,
        TestStorageBackend::Dump,
        TestStorageBackend::Process,
        TestStorageBackend::Exists,
        TestStorageBackend::Get,
        TestStorageBackend::Put,
        TestStorageBackend::Erase,
        TestStorageBackend::FileErase,
        TestStorageBackend::FileComplete,
    };
    return &row;
}

// The test backend bound to a storage (null when another row is bound).
inline TestStorageBackend* TestBackendOf(Storage* storage) {
    const StorageInterface* row = nullptr;
    void* instance = nullptr;
    if (!Storage_GetInterface(storage, &row) || row != TestStorageInterface()) return nullptr;
    Storage_GetInterfaceHandle(storage, &instance);
    return TestStorageBackend::Of(instance);
}
