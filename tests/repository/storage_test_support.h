// What the storage tests share: manifests made from file contents (digests by openssl), requests
// over them, running a storage operation to its completion while pumping the event queue and the
// notification centre, and the password prompt seen from the user's side.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/time.h"
#include "repository/meta_file.h"
#include "repository/storage.h"
#include "repository/storage_request.h"
#include "tests/repository/test_storage_backend.h"
#include "tests/support/hex.h"
#include "tests/support/oracle_process.h"

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A JSON object read into a dictionary; `d` is the object's own dictionary.
struct JsonDocument {
    Dictionary* root = nullptr;
    Dictionary* d = nullptr;
    explicit JsonDocument(const std::string& text) {
        Dictionary_Create(&root);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, root);
        EXPECT_EQ(JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()), 1) << text;
        JSON_SetDictionaryHandle(json, nullptr);
        JSON_Release(&json);
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(root, &item);
        if (item) Dictionary_ItemGetDictionaryHandle(root, item, &d);
    }
    ~JsonDocument() { Dictionary_Release(&root); }
};

// Bytes through an outside tool, carried as hexadecimal text.
inline Bytes Through(const std::string& command, const Bytes& input) {
    const std::string in(input.begin(), input.end());
    auto out = RunOracle(command + " | /usr/bin/python3 -c \"import sys;print(sys.stdin.buffer.read().hex())\"", in);
    EXPECT_TRUE(out.has_value()) << command;
    std::string hex = out.value_or("");
    while (!hex.empty() && (hex.back() == '\n' || hex.back() == ' ')) hex.pop_back();
    return FromHex(hex);
}

inline Bytes Sha1(const Bytes& data) {
    return Through("openssl dgst -sha1 -binary", data);
}

inline Bytes Gzip(const Bytes& data) {
    return Through("gzip -c -n", data);
}

// A manifest over whole files, each padded up to a piece boundary; Stream is the padded content.
struct TestManifest {
    MetaFile* meta = nullptr;
    Bytes Stream;
    std::vector<bool> IsData;
    std::vector<Bytes> Digests;
    uint32_t PieceSize;

    // `fields`: further members of each file's object, in order (",\"mtime\":5"), where given.
    TestManifest(const std::vector<std::pair<std::string, Bytes>>& files, uint32_t pieceSize,
                 bool hashPadding = true, const std::string& id = "m1", const std::vector<std::string>& fields = {})
        : PieceSize(pieceSize) {
        std::string json = "{\"id\":\"" + id + "\",\"files\":[";
        for (size_t i = 0; i < files.size(); ++i) {
            const Bytes& data = files[i].second;
            const uint32_t pad = (uint32_t)((pieceSize - data.size() % pieceSize) % pieceSize);
            json += std::string(i ? "," : "") + "{\"name\":\"" + files[i].first +
                    "\",\"size\":" + std::to_string(data.size()) + ",\"pad\":" + std::to_string(pad) +
                    (i < fields.size() ? fields[i] : "") + "}";
            Stream.insert(Stream.end(), data.begin(), data.end());
            Stream.insert(Stream.end(), pad, 0);
            IsData.insert(IsData.end(), data.size(), true);
            IsData.insert(IsData.end(), pad, false);
        }
        json += "],\"pieces\":{\"size\":" + std::to_string(pieceSize) +
                ",\"hashPadding\":" + (hashPadding ? "true" : "false") + ",\"digests\":[";
        for (size_t start = 0, i = 0; start < Stream.size(); start += pieceSize, ++i) {
            Digests.push_back(Sha1(hashPadding ? Slice(start, pieceSize) : Data(start, pieceSize)));
            char text[64];
            uint32_t written = 0;
            Base64_Encode(Digests.back().data(), (int32_t)Digests.back().size(), text, sizeof(text), &written);
            json += std::string(i ? "," : "") + "\"" + std::string(text, written) + "\"";
        }
        json += "]}}";
        static const bool queue = EventQueue_Init() == 1;
        (void)queue;
        EXPECT_EQ(MetaFile_Create(&meta), 1);
        JSON* parser = nullptr;
        JSON_Create(&parser);
        JSON_SetValueCallback(parser, meta, MetaFile_ValueCallback);
        EXPECT_EQ(JSON_LoadBuffer(parser, json.data(), (uint32_t)json.size()), 1) << json;
        JSON_Release(&parser);
        uint32_t code = 0, codeEx = 0;
        EXPECT_EQ(MetaFile_WorkerBuild(nullptr, meta, &code, &codeEx), 1) << json;
    }
    ~TestManifest() { MetaFile_Release(&meta); }

    Bytes Slice(size_t start, size_t length) const {
        return Bytes(Stream.begin() + (long)start, Stream.begin() + (long)(start + length));
    }
    // The file bytes of a stretch of the stream, padding left out.
    Bytes Data(size_t start, size_t length) const {
        Bytes out;
        for (size_t i = start; i < start + length && i < Stream.size(); ++i)
            if (IsData[i]) out.push_back(Stream[i]);
        return out;
    }
    Bytes Unpadded() const { return Data(0, Stream.size()); }
};

struct Request {
    StorageRequest* request = nullptr;
    Request(MetaFile* meta, std::initializer_list<int32_t> indexes) {
        EXPECT_EQ(StorageRequest_Create(&request), 1);
        if (meta) StorageRequest_SetMetaFileHandle(request, meta);
        for (int32_t index : indexes) EXPECT_EQ(StorageRequest_IndexAdd(request, index), 1) << index;
        EXPECT_EQ(StorageRequest_Alloc(request), 1);
    }
    ~Request() { StorageRequest_Release(&request); }
    void Load(const Bytes& content, uint32_t flags) {
        uint8_t* p = nullptr;
        ASSERT_EQ(StorageRequest_GetPointer(request, &p), 1);
        if (!content.empty()) memcpy(p, content.data(), content.size());
        StorageRequest_ReleasePointer(request, &p);
        StorageRequest_SetContentLength(request, (uint32_t)content.size());
        StorageRequest_SetFlags(request, flags);
    }
    Bytes Content() const {
        uint32_t length = 0;
        StorageRequest_GetContentLength(request, &length);
        uint8_t* p = nullptr;
        if (!StorageRequest_GetPointer(request, &p)) return {};
        Bytes out(p, p + length);
        StorageRequest_ReleasePointer(request, &p);
        return out;
    }
};

// Runs the event queue and the notification centre until the condition holds or time is up.
inline bool PumpUntil(const std::function<bool()>& done, double seconds = 20) {
    const double end = Time_GetCurrent() + seconds;
    for (;;) {
        EventQueue_Flush(nullptr);
        NotificationCenter_Process();
        if (done()) return true;
        if (Time_GetCurrent() > end) return false;
        usleep(200);
    }
}

struct Outcome {
    void* Slot = nullptr;
    uint32_t Code = 12345;
    uint32_t Extended = 12345;
    bool Done = false;
    int Calls = 0;
};

inline void RecordOutcome(Storage*, void* user, void* slot, uint32_t code, uint32_t extended) {
    Outcome* o = static_cast<Outcome*>(user);
    o->Slot = slot;
    o->Code = code;
    o->Extended = extended;
    o->Done = true;
    o->Calls++;
}

// Starts an operation with a callback of its own and waits for its completion; `onPump` runs on
// every turn until it answers true.
inline Outcome RunChain(const std::function<int64_t(StorageCallback, void*)>& start,
                        std::function<bool()> onPump = nullptr) {
    Outcome outcome;
    EXPECT_EQ(start(RecordOutcome, &outcome), 1);
    bool pumped = !onPump;
    EXPECT_TRUE(PumpUntil([&] {
        if (!pumped) pumped = onPump();
        return outcome.Done;
    }));
    EXPECT_EQ(outcome.Calls, 1);
    return outcome;
}

inline Outcome RunGet(Storage* storage, StorageRequest* request, OffsetCache* cache = nullptr,
                      std::function<bool()> onPump = nullptr) {
    return RunChain([&](StorageCallback cb, void* user) { return Storage_Get(storage, request, cache, user, cb); },
                    std::move(onPump));
}

// The user's side of the password prompt: sees each request and answers it.
struct PromptWatcher {
    std::string Requester, Filter, Host, Password;
    PromptWatcher() { NotificationCenter_AddObserver("Challenge", "Request", this, Seen); }
    ~PromptWatcher() { NotificationCenter_RemoveObserver("Challenge", "Request", this, Seen); }
    static int64_t Seen(void* user, const char*, const char*, const char* instance, Dictionary* info) {
        PromptWatcher* w = static_cast<PromptWatcher*>(user);
        w->Requester = instance;
        const char* text = nullptr;
        w->Filter = Dictionary_GetStringPtrByKey(info, "filter", &text) && text ? text : "";
        w->Host = Dictionary_GetStringPtrByKey(info, "host", &text) && text ? text : "";
        w->Password = Dictionary_GetStringPtrByKey(info, "password", &text) && text ? text : "";
        return 1;
    }
    void Answer(bool cancel, const std::string& password) {
        Dictionary* d = nullptr;
        Dictionary_Create(&d);
        Dictionary_SetBooleanByKey(d, "cancel", cancel ? 1 : 0);
        Dictionary_SetStringByKey(d, "password", password.c_str());
        NotificationCenter_Fire("Challenge", "Response", Requester.c_str(), d);
        Dictionary_Release(&d);
        Requester.clear();
    }
};

// An encrypted-piece container of the plain bytes, made with Python's PBKDF2 and openssl's
// AES-256-CBC: iterations, salt, IV, key check block, check digest, trailing pad, payload and the
// container's own digest.
inline Bytes BuildContainer(const std::string& password, const Bytes& plain) {
    auto be = [](uint32_t value, int bytes) {
        Bytes out;
        for (int i = bytes - 1; i >= 0; --i) out.push_back((uint8_t)(value >> (8 * i)));
        return out;
    };
    const Bytes salt = FromHex("0011223344556677");
    const Bytes iv = FromHex("000102030405060708090a0b0c0d0e0f");
    const int iterations = 1000;
    const Bytes key = Through("/usr/bin/python3 -c \"import hashlib,sys;sys.stdout.buffer.write(hashlib.pbkdf2_hmac("
                              "'sha1', b'" + password + "', bytes.fromhex('" + ToHex(salt) + "'), " +
                                  std::to_string(iterations) + ", 32))\"",
                              {});
    auto cbc = [&](const Bytes& data) {
        return Through("openssl enc -aes-256-cbc -nopad -K " + ToHex(key) + " -iv " + ToHex(iv), data);
    };
    const Bytes checkPlain = Text("key check block!key check block!");
    const uint32_t pad = (uint32_t)((16 - plain.size() % 16) % 16);
    Bytes padded = plain;
    padded.resize(plain.size() + pad, 0xAA);
    const Bytes check = cbc(checkPlain);
    const Bytes payload = cbc(padded);
    const Bytes head = Cat({be(iterations, 2), be((uint32_t)salt.size(), 2), salt, be((uint32_t)iv.size(), 2), iv,
                            be((uint32_t)check.size(), 2), check, be(4, 1), Text("SHA1"), Sha1(checkPlain),
                            be(pad, 1), be((uint32_t)payload.size(), 4), payload});
    return Cat({head, be(4, 1), Text("SHA1"), Sha1(head)});
}

// Copies of the test backend's row that differ only by name, registered under the four type names.
struct NamedTestRows {
    StorageInterface Rows[4];
    NamedTestRows() {
        const char* names[] = {"StorageFile", "StorageFilePiece", "StorageHTTP", "StorageHTTPPiece"};
        const char* types[] = {"file", "filePiece", "http", "httpPiece"};
        for (int i = 0; i < 4; ++i) {
            Rows[i] = *TestStorageInterface();
            Rows[i].Name = names[i];
            Storage_RegisterInterface(types[i], &Rows[i]);
        }
    }
};
inline NamedTestRows& TestRows() {
    static NamedTestRows rows;
    return rows;
}

// A storage bound to the test backend under a type name, with the given flags.
inline TestStorageBackend* BindTestBackend(Storage* storage, const char* type, uint32_t flags) {
    TestRows();
    Dictionary* d = nullptr;
    Dictionary_Create(&d);
    Dictionary_SetStringByKey(d, "type", type);
    EXPECT_EQ(Storage_Configure(storage, nullptr, d, nullptr), 1);
    Dictionary_Release(&d);
    Storage_SetFlags(storage, flags);
    void* instance = nullptr;
    Storage_GetInterfaceHandle(storage, &instance);
    TestStorageBackend::Of(instance)->TakeCalls();
    return TestStorageBackend::Of(instance);
}
