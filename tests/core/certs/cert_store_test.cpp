// Tests of the trust-store handle and the null, key, list and table stores: the switch, the
// order and stop rule of lists, fixed and removable table entries, and every reference given back.
#include "core/certs/cert_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/runtime/memory.h"
#include "tests/support/log_capture.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

// A store made by hand: counts its references, records the order it is asked in and gives a set
// answer.
struct FakeStore {
    CertStoreInterface* Interface = nullptr;
    int References = 1;
    char Name = '?';
    int64_t Answer = 0;
    uint32_t Stop = 0;
    std::string* Asked = nullptr;

    FakeStore(char name, int64_t answer, uint32_t stop, std::string* asked)
        : Name(name), Answer(answer), Stop(stop), Asked(asked) {
        CertStoreInterface_Create(&Interface);
        CertStoreInterface_SetAddRefCallback(Interface, this, [](CertStoreInterface* h, void* s) {
            static_cast<FakeStore*>(s)->References++;
            return h;
        });
        CertStoreInterface_SetReleaseCallback(Interface, this, [](CertStoreInterface** h, void* s) -> int64_t {
            static_cast<FakeStore*>(s)->References--;
            *h = nullptr;
            return 1;
        });
        CertStoreInterface_SetX509IsTrustedCallback(Interface, this,
                                                    [](CertStoreInterface*, void* s, X509*, uint32_t* stop) {
                                                        auto* f = static_cast<FakeStore*>(s);
                                                        *f->Asked += f->Name;
                                                        *stop = f->Stop;
                                                        return f->Answer;
                                                    });
        CertStoreInterface_SetX509IsTrustedJWSCallback(
            Interface, this, [](CertStoreInterface*, void* s, Dictionary*, CryptAsymmetric**, uint32_t* stop) {
                auto* f = static_cast<FakeStore*>(s);
                *f->Asked += f->Name;
                *stop = f->Stop;
                return f->Answer;
            });
    }
    ~FakeStore() { CertStoreInterface_Delete(&Interface); }
};

class CertStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { Memory_GetCount(&allocations); }
    void TearDown() override {
        Authenticate_SetEnabled(1);
        uint32_t now = 0;
        Memory_GetCount(&now);
        EXPECT_EQ(now, allocations) << "every store freed";
    }
    uint32_t allocations = 0;
};

struct Answer {
    int64_t Trusted;
    uint32_t Stop;
    std::string Asked;
};

Answer AskBoth(CertStoreInterface* handle, std::string* asked) {
    asked->clear();
    uint32_t stop = 7;
    const int64_t trusted = CertStoreInterface_X509IsTrusted(handle, nullptr, &stop);
    uint32_t stopJws = 7;
    CryptAsymmetric* key = reinterpret_cast<CryptAsymmetric*>(1);
    const std::string first = *asked;
    asked->clear();
    const int64_t trustedJws = CertStoreInterface_X509IsTrustedJWS(handle, nullptr, &key, &stopJws);
    EXPECT_EQ(trusted, trustedJws);
    EXPECT_EQ(stop, stopJws);
    EXPECT_EQ(first, *asked) << "both calls ask alike";
    EXPECT_EQ(key, nullptr);
    return {trusted, stop, first};
}

TEST_F(CertStoreTest, ListsAskTheLastAddedFirstAndHonourStop) {
    std::string asked;
    const struct {
        const char* Members; // added in this order: name, answer digit, stop digit
        int64_t Trusted;
        uint32_t Stop;
        const char* Asked;
    } cases[] = {
        {"", 0, 0, ""},
        {"A10B00", 1, 0, "BA"},
        {"A10B01", 0, 1, "B"}, // B's final no ends the search before A would trust
        {"A00B00C10", 1, 0, "C"},
        {"A00B00", 0, 0, "BA"},
    };
    for (const auto& c : cases) {
        std::vector<std::unique_ptr<FakeStore>> fakes;
        CertStoreList* list = nullptr;
        CertStoreList_Create(&list);
        for (const char* m = c.Members; *m; m += 3) {
            fakes.push_back(std::make_unique<FakeStore>(m[0], m[1] - '0', (uint32_t)(m[2] - '0'), &asked));
            EXPECT_EQ(CertStoreList_Add(list, fakes.back()->Interface), 1);
            EXPECT_EQ(fakes.back()->References, 2);
        }
        CertStoreInterface* handle = CertStoreList_GetInterfaceHandle(list);
        const Answer answer = AskBoth(handle, &asked);
        EXPECT_EQ(answer.Trusted, c.Trusted) << c.Members;
        EXPECT_EQ(answer.Stop, c.Stop) << c.Members;
        EXPECT_EQ(answer.Asked, c.Asked) << c.Members;
        EXPECT_EQ(CertStoreList_Add(list, handle), 0) << "a list never asks itself";
        CertStoreInterface_Release(&handle);
        EXPECT_EQ(handle, nullptr);
        CertStoreList_Reset(list);
        for (const auto& f : fakes) EXPECT_EQ(f->References, 1) << c.Members << ": reset gives members back";
        CertStoreList_Release(&list);
    }
}

TEST_F(CertStoreTest, SwitchOffTrustsWithoutAskingAnyStore) {
    std::string asked;
    FakeStore refusing('R', 0, 1, &asked);
    CertStoreNull* null = nullptr;
    CertStoreKey* key = nullptr;
    CertStoreList* list = nullptr;
    CertStoreNull_Create(&null);
    CertStoreKey_Create(&key);
    CertStoreList_Create(&list);
    CertStoreList_Add(list, refusing.Interface);
    CertStoreInterface* handles[] = {CertStoreNull_GetInterfaceHandle(null), CertStoreKey_GetInterfaceHandle(key),
                                     CertStoreList_GetInterfaceHandle(list), refusing.Interface};
    for (int enabled = 1; enabled >= 0; enabled--) {
        Authenticate_SetEnabled((uint32_t)enabled);
        for (CertStoreInterface* handle : handles) {
            const Answer answer = AskBoth(handle, &asked);
            EXPECT_EQ(answer.Trusted, enabled ? 0 : 1);
            EXPECT_EQ(answer.Asked, enabled && (handle == handles[2] || handle == handles[3]) ? "R" : "");
            EXPECT_EQ(answer.Stop, enabled && !answer.Asked.empty() ? 1u : 0u);
        }
    }
    for (int i = 0; i < 3; i++) CertStoreInterface_Release(&handles[i]);
    CertStoreNull_Release(&null);
    CertStoreKey_Release(&key);
    CertStoreList_Release(&list);
    EXPECT_EQ(refusing.References, 1);
}

TEST_F(CertStoreTest, KeyStoreHoldsWhatDecodedAndNothingAfterBadText) {
    CertStoreKey* store = nullptr;
    CertStoreKey_Create(&store);
    CertStoreInterface* handle = CertStoreKey_GetInterfaceHandle(store);
    const uint8_t* key = nullptr;
    uint32_t size = 9;
    EXPECT_EQ(CertStoreInterface_GetKey(handle, &key, &size), 0) << "no key yet";
    const struct {
        const char* Text;
        int64_t Decoded;
        std::string Key;
    } cases[] = {
        {"c2VjcmV0", 1, "secret"},
        {"not base64!", 0, ""},
        {"AAEC", 1, std::string("\0\1\2", 3)},
        {"AAE", 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CertStoreKey_Decode(store, c.Text), c.Decoded) << c.Text;
        EXPECT_EQ(CertStoreInterface_GetKey(handle, &key, &size), c.Decoded) << c.Text;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(key ? key : (const uint8_t*)""), size), c.Key) << c.Text;
    }
    CertStoreNull* null = nullptr;
    CertStoreNull_Create(&null);
    CertStoreInterface* nullHandle = CertStoreNull_GetInterfaceHandle(null);
    CertStoreNull_Release(&null);
    EXPECT_EQ(CertStoreInterface_GetKey(nullHandle, &key, &size), 0);
    EXPECT_EQ(key, nullptr);
    CertStoreInterface_Release(&nullHandle);
    CertStoreInterface_Release(&handle);
    CertStoreKey_Release(&store);
}

TEST_F(CertStoreTest, TableKeepsFixedEntriesAndReplacesRemovableOnes) {
    std::string asked;
    FakeStore first('1', 0, 0, &asked), second('2', 0, 0, &asked), third('3', 0, 0, &asked);
    CertStoreTable* table = nullptr;
    CertStoreTable_Create(&table);
    const struct {
        const char* Operation; // "add" (removable flag in Removable), "remove"
        const char* Name;
        uint32_t Removable;
        FakeStore* Store;
        int64_t Result;
    } steps[] = {
        {"add", "app", 0, &first, 1},     {"add", "APP", 1, &second, 0},    {"remove", "App", 0, nullptr, 0},
        {"add", "temp", 1, &second, 1},   {"add", "Temp", 1, &third, 1},    {"remove", "missing", 0, nullptr, 0},
        {"remove", "TEMP", 0, nullptr, 1}, {"remove", "temp", 0, nullptr, 0},
    };
    for (const auto& s : steps) {
        const int64_t result = std::string(s.Operation) == "add"
                                   ? CertStoreTable_Add(table, s.Name, s.Removable, s.Store->Interface)
                                   : CertStoreTable_Remove(table, s.Name);
        EXPECT_EQ(result, s.Result) << s.Operation << " " << s.Name;
    }
    EXPECT_EQ(first.References, 2) << "the fixed entry stayed";
    EXPECT_EQ(second.References, 1) << "replaced: its reference given back";
    EXPECT_EQ(third.References, 1) << "removed";

    CertStoreInterface* handle = reinterpret_cast<CertStoreInterface*>(1);
    EXPECT_EQ(CertStoreTable_GetInterfaceHandle(table, "temp", &handle), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(CertStoreTable_ReleaseInterfaceHandle(table, &handle), 1) << "a null handle is accepted";
    ASSERT_EQ(CertStoreTable_GetInterfaceHandle(table, "aPp", &handle), 1);
    EXPECT_EQ(handle, first.Interface);
    EXPECT_EQ(first.References, 3);
    EXPECT_EQ(CertStoreTable_ReleaseInterfaceHandle(table, &handle), 1);
    EXPECT_EQ(handle, nullptr);

    CertStoreTable_Add(table, "again", 1, second.Interface);
    CertStoreTable_Delete(&table);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(first.References, 1) << "delete gives every entry back";
    EXPECT_EQ(second.References, 1);
}

TEST_F(CertStoreTest, AStoreLivesWhileAnyHandleDoes) {
    CertStoreList* list = nullptr;
    CertStoreList_Create(&list);
    CertStoreInterface* handle = CertStoreList_GetInterfaceHandle(list);
    CertStoreInterface* again = CertStoreInterface_AddRef(handle);
    CertStoreList_Release(&list);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(Class_HasOneRef(handle), 0);
    CertStoreInterface_Release(&again);
    EXPECT_EQ(Class_HasOneRef(handle), 1);
    std::string asked;
    EXPECT_EQ(AskBoth(handle, &asked).Trusted, 0) << "still usable";
    CertStoreInterface_Release(&handle);
    EXPECT_EQ(CertStoreInterface_Release(&handle), 0);
    // TearDown's memory count shows the store went with its last handle.
}

} // namespace
