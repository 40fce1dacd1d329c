#include "core/runtime/hash_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/memory.h"
#include "tests/support/abort_hook.h"

namespace {

HashTableKey IntKey(uintptr_t k) {
    return reinterpret_cast<HashTableKey>(k);
}

HashTable* MakeIntTable(uint32_t buckets) {
    HashTable* table = nullptr;
    EXPECT_EQ(HashTable_Create(&table, 4, buckets), 1);
    HashTable_SetKeyAssignCallback(table, nullptr, HashTable_Int32KeyAssign);
    HashTable_SetValueCallback(table, nullptr, HashTable_Int32Value);
    HashTable_SetCompareCallback(table, nullptr, HashTable_Int32Compare);
    return table;
}

std::vector<HashTableMember*> Members(HashTable* table) {
    std::vector<HashTableMember*> out;
    HashTableMember* m = nullptr;
    for (int64_t ok = HashTable_MemberGetFirst(table, &m); ok; ok = HashTable_MemberGetNext(table, m, &m))
        out.push_back(m);
    return out;
}

TEST(HashTable, KnownHashValues) {
    EXPECT_EQ(HashTable_StringValue(nullptr, nullptr, "abc"), 0x02062503u);
    EXPECT_EQ(HashTable_StringValue(nullptr, nullptr, ""), 0x5902879Eu);
    EXPECT_EQ(HashTable_StringValueWithoutCase(nullptr, nullptr, "ABC"), 0x02062503u);
    EXPECT_EQ(HashTable_PointerValue(nullptr, nullptr, reinterpret_cast<HashTableKey>(1)), 0x62BAF5A0u);
    EXPECT_EQ(HashTable_Int32Value(nullptr, nullptr, reinterpret_cast<HashTableKey>(0)), 0x4636B9C9u);
}

TEST(HashTable, AddFindReplaceRemove) {
    HashTable* table = nullptr;
    ASSERT_EQ(HashTable_Create(&table, 16, 32), 1);
    EXPECT_TRUE(HashTable_ValidHandle(table));
    HashTableMember* first = nullptr;
    HashTableMember* again = nullptr;
    EXPECT_EQ(HashTable_AddEx(table, "alpha", 1, &first), 1);
    EXPECT_EQ(HashTable_AddEx(table, "alpha", 2, &again), 1);
    EXPECT_EQ(first, again);
    uint32_t count = 0;
    HashTable_GetCount(table, &count);
    EXPECT_EQ(count, 1u);
    uint64_t value = 0;
    EXPECT_EQ(HashTable_GetValue(table, "alpha", &value), 1);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(HashTable_GetValue(table, "beta", &value), 0);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(HashTable_Remove(table, "beta"), 0);
    HashTable_GetCount(table, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(HashTable_Remove(table, "alpha"), 1);
    EXPECT_FALSE(HashTable_ContainsKey(table, "alpha"));

    // Keys are cut to the key size; neither the long nor the cut text is found afterwards.
    HashTable* small = nullptr;
    HashTable_Create(&small, 8, 4);
    HashTable_Add(small, "abcdefghij", 5);
    EXPECT_FALSE(HashTable_ContainsKey(small, "abcdefghij"));
    EXPECT_FALSE(HashTable_ContainsKey(small, "abcdefg"));
    HashTable_Delete(&small);
    HashTable_Delete(&table);
    EXPECT_EQ(table, nullptr);
}

TEST(HashTable, IterationVisitsEveryMemberOnce) {
    HashTable* table = nullptr;
    HashTable_Create(&table, 16, 7);
    std::set<std::string> added;
    for (int i = 0; i < 100; i++) {
        std::string key = "key" + std::to_string(i);
        HashTable_Add(table, key.c_str(), (uint64_t)i);
        added.insert(key);
    }
    std::set<std::string> seen;
    HashTableMember* member = nullptr;
    for (int64_t ok = HashTable_MemberGetFirst(table, &member); ok;
         ok = HashTable_MemberGetNext(table, member, &member)) {
        const void* key = nullptr;
        uint64_t value = 0;
        HashTable_MemberGet(table, member, &key, &value);
        EXPECT_TRUE(seen.insert(static_cast<const char*>(key)).second);
        EXPECT_EQ("key" + std::to_string(value), std::string(static_cast<const char*>(key)));
    }
    EXPECT_EQ(seen, added);

    // Removing while iterating: take the next member first.
    HashTable_MemberGetFirst(table, &member);
    while (member) {
        HashTableMember* next = nullptr;
        HashTable_MemberGetNext(table, member, &next);
        HashTable_MemberRemove(table, &member);
        EXPECT_EQ(member, nullptr);
        member = next;
    }
    uint32_t count = 1;
    HashTable_GetCount(table, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(HashTable_MemberGetFirst(table, &member), 0);
    HashTable_Delete(&table);
}

TEST(HashTable, PointerAndIntegerKeys) {
    HashTable* table = nullptr;
    HashTable_Create(&table, 4, 16);
    HashTable_SetKeyAssignCallback(table, nullptr, HashTable_Int32KeyAssign);
    HashTable_SetValueCallback(table, nullptr, HashTable_Int32Value);
    HashTable_SetCompareCallback(table, nullptr, HashTable_Int32Compare);
    for (uintptr_t i = 0; i < 50; i++) HashTable_Add(table, reinterpret_cast<HashTableKey>(i), i * 10);
    uint64_t value = 0;
    EXPECT_EQ(HashTable_GetValue(table, reinterpret_cast<HashTableKey>(uintptr_t{42}), &value), 1);
    EXPECT_EQ(value, 420u);
    HashTable_Reset(table);
    EXPECT_FALSE(HashTable_ContainsKey(table, reinterpret_cast<HashTableKey>(uintptr_t{42})));
    HashTable_Delete(&table);

    HashTable* names = nullptr;
    HashTable_Create(&names, sizeof(const char*), 16);
    HashTable_SetKeyAssignCallback(names, nullptr, HashTable_StringPointerKeyAssign);
    HashTable_SetValueCallback(names, nullptr, HashTable_StringValueWithoutCase);
    HashTable_SetCompareCallback(names, nullptr, HashTable_StringPointerCompareWithoutCase);
    static const char kName[] = "Mixed";
    HashTable_Add(names, kName, 1);
    EXPECT_TRUE(HashTable_ContainsKey(names, "mIXED"));
    HashTable_RemoveAll(names);
    HashTable_Delete(&names);
}

TEST(HashTable, WrongHandlesAbort) {
    int32_t notATable[16] = {};
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashTable_Add(reinterpret_cast<HashTable*>(notATable), "x", 1);
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x3cf21d39 but was 0x00000000\\)\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashTable_Add(nullptr, "x", 1);
        },
        AbortRegex("Pointer is NULL\n"));
}

TEST(HashTable, MoreKnownHashValues) {
    struct {
        const char* text;
        uint32_t hash;
    } cases[] = {{"abc", 0x02062503}, {"", 0x5902879E}};
    for (const auto& c : cases) {
        EXPECT_EQ(HashTable_StringValue(nullptr, nullptr, c.text), c.hash) << c.text;
        EXPECT_EQ(HashTable_StringValueWithoutCase(nullptr, nullptr, c.text), c.hash) << c.text;
    }
    EXPECT_EQ(HashTable_StringValueWithoutCase(nullptr, nullptr, "AbC"), 0x02062503u);
    EXPECT_NE(HashTable_StringValue(nullptr, nullptr, "ABC"), 0x02062503u);
    // Only the low 32 bits of a key value count.
    EXPECT_EQ(HashTable_PointerValue(nullptr, nullptr, IntKey(0x100000001ull)), 0x62BAF5A0u);
    EXPECT_EQ(HashTable_Int32Value(nullptr, nullptr, IntKey(1)), 0x62BAF5A0u);
    EXPECT_EQ(HashTable_PointerValue(nullptr, nullptr, IntKey(0)), 0x4636B9C9u);
}

TEST(HashTable, IterationIsBucketOrderNewestFirst) {
    constexpr uint32_t kBuckets = 5;
    HashTable* table = MakeIntTable(kBuckets);
    std::vector<std::vector<uint32_t>> expected(kBuckets);
    for (uint32_t k = 0; k < 40; k++) {
        HashTable_Add(table, IntKey(k), k + 1000);
        auto& chain = expected[HashTable_Int32Value(nullptr, nullptr, IntKey(k)) % kBuckets];
        chain.insert(chain.begin(), k);
    }
    std::vector<uint32_t> order;
    for (auto& chain : expected) order.insert(order.end(), chain.begin(), chain.end());

    std::vector<uint32_t> seen;
    for (HashTableMember* m : Members(table)) {
        const void* key = nullptr;
        uint64_t value = 0;
        HashTable_MemberGet(table, m, &key, &value);
        uint32_t k = *static_cast<const uint32_t*>(key);
        EXPECT_EQ(value, k + 1000u);
        seen.push_back(k);
    }
    EXPECT_EQ(seen, order);

    // Replacing a value keeps the member where it is.
    HashTable_Add(table, IntKey(order[3]), 7);
    seen.clear();
    for (HashTableMember* m : Members(table)) {
        const void* key = nullptr;
        HashTable_MemberGetKey(table, m, &key);
        seen.push_back(*static_cast<const uint32_t*>(key));
    }
    EXPECT_EQ(seen, order);
    HashTable_Delete(&table);

    // A single bucket is one chain, newest first.
    HashTable* one = nullptr;
    HashTable_Create(&one, 8, 1);
    for (const char* k : {"a", "b", "c"}) HashTable_Add(one, k, 0);
    std::vector<std::string> texts;
    for (HashTableMember* m : Members(one)) {
        const void* key = nullptr;
        HashTable_MemberGetKey(one, m, &key);
        texts.push_back(static_cast<const char*>(key));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"c", "b", "a"}));
    HashTable_Delete(&one);
}

TEST(HashTable, MemberAccess) {
    HashTable* table = nullptr;
    HashTable_Create(&table, 16, 32);
    HashTableMember* m = nullptr;
    HashTable_AddEx(table, "name", 11, &m);
    ASSERT_NE(m, nullptr);
    HashTableMember* found = nullptr;
    EXPECT_EQ(HashTable_MemberFindByKey(table, "name", &found), 1);
    EXPECT_EQ(found, m);
    EXPECT_EQ(HashTable_MemberSetValue(table, m, 0xFFFFFFFFFFFFFFFFull), 1);
    uint64_t value = 0;
    EXPECT_EQ(HashTable_MemberGetValue(table, m, &value), 1);
    EXPECT_EQ(value, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(HashTable_GetValue(table, "name", &value), 1);
    EXPECT_EQ(value, 0xFFFFFFFFFFFFFFFFull);
    uint32_t keySize = 0;
    EXPECT_EQ(HashTable_GetKeySize(table, &keySize), 1);
    EXPECT_EQ(keySize, 16u);
    found = m;
    EXPECT_EQ(HashTable_MemberFindByKey(table, "other", &found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(HashTable_MemberRemove(table, &m), 1);
    EXPECT_EQ(m, nullptr);
    EXPECT_FALSE(HashTable_ContainsKey(table, "name"));
    HashTable_Delete(&table);
}

TEST(HashTable, ResetReusesPoolBlocksAndRemoveAllReleasesThem) {
    Memory_Init(0);
    uint32_t before = 0;
    Memory_GetCount(&before);
    HashTable* table = MakeIntTable(16);
    uint32_t created = 0;
    Memory_GetCount(&created); // the table, its buckets and its pool
    std::set<HashTableMember*> first;
    for (uint32_t k = 0; k < 25; k++) {
        HashTableMember* m = nullptr;
        HashTable_AddEx(table, IntKey(k), k, &m);
        first.insert(m);
    }
    uint32_t filled = 0;
    Memory_GetCount(&filled);
    EXPECT_EQ(filled, created + 3); // 25 members in chunks of 10

    HashTable_Reset(table);
    uint32_t count = 1;
    HashTable_GetCount(table, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(Members(table).empty());
    std::set<HashTableMember*> second;
    for (uint32_t k = 100; k < 130; k++) {
        HashTableMember* m = nullptr;
        HashTable_AddEx(table, IntKey(k), k, &m);
        second.insert(m);
    }
    uint32_t refilled = 0;
    Memory_GetCount(&refilled);
    EXPECT_EQ(refilled, filled); // the 30 members fit the three chunks already held
    for (HashTableMember* m : first) EXPECT_TRUE(second.count(m));
    EXPECT_FALSE(HashTable_ContainsKey(table, IntKey(3)));
    EXPECT_TRUE(HashTable_ContainsKey(table, IntKey(103)));

    HashTable_RemoveAll(table);
    uint32_t emptied = 0;
    Memory_GetCount(&emptied);
    EXPECT_EQ(emptied, created);
    HashTable_Add(table, IntKey(1), 1);
    HashTable_Delete(&table);
    uint32_t after = 0;
    Memory_GetCount(&after);
    EXPECT_EQ(after, before);
    Memory_Remove();
}

TEST(HashTable, CountReadFromAnotherThread) {
    HashTable* table = MakeIntTable(512);
    constexpr uint32_t kAdds = 20000;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        uint32_t last = 0;
        while (!done.load()) {
            uint32_t count = 0xFFFFFFFF;
            HashTable_GetCount(table, &count);
            if (count < last || count > kAdds) bad++;
            last = count;
            reads++;
        }
    });
    for (uint32_t k = 0; k < kAdds; k++) HashTable_Add(table, IntKey(k), k);
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    uint32_t count = 0;
    HashTable_GetCount(table, &count);
    EXPECT_EQ(count, kAdds);
    HashTable_Delete(&table);
}

TEST(HashTable, MembersOfOtherTablesAndStaleMembersAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A member handle of another table would unlink through this table's buckets.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashTable* big = nullptr;
            HashTable* small = nullptr;
            HashTable_Create(&big, 16, 512);
            HashTable_Create(&small, 16, 2);
            HashTableMember* m = nullptr;
            for (int i = 0; i < 50; i++) HashTable_AddEx(big, ("k" + std::to_string(i)).c_str(), 1, &m);
            HashTable_AddEx(small, "x", 1, &m);
            HashTable_AddEx(big, "y", 1, &m);
            HashTable_MemberRemove(small, &m);
        },
        "ABORT - Assertion failed \\(.*\\)\nMember \\[0x[0-9A-F]{16}\\] is not in this table "
        "\\[0x[0-9A-F]{16}\\]");
    // After a reset an old member handle no longer passes as a member.
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashTable* table = nullptr;
            HashTable_Create(&table, 16, 8);
            HashTableMember* m = nullptr;
            HashTable_AddEx(table, "x", 1, &m);
            HashTable_Reset(table);
            uint64_t value = 0;
            HashTable_MemberGetValue(table, m, &value);
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x1e7d9d7a but was 0x00000000\\)\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashTable* table = nullptr;
            HashTable_Create(&table, 16, 0);
        },
        AbortRegex("Assertion failed (bucketCount > 0)\nBucket count must not be zero"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashTable* table = nullptr;
            HashTable_Create(&table, 16, 8);
            uint32_t* none = nullptr;
            HashTable_GetCount(table, none);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            HashTable* table = nullptr;
            HashTable_Create(&table, 16, 8);
            HashTable_MemberGetNext(table, nullptr, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace
