#include "core/runtime/hash_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/memory.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/out_value.h"

namespace {

HashTableKey IntKey(uintptr_t k) {
    return reinterpret_cast<HashTableKey>(k);
}

HashTable* MakeTable(uint32_t keySize, uint32_t buckets, bool intKeys = false) {
    HashTable* table = nullptr;
    EXPECT_EQ(HashTable_Create(&table, keySize, buckets), 1);
    if (intKeys) {
        HashTable_SetKeyAssignCallback(table, nullptr, HashTable_Int32KeyAssign);
        HashTable_SetValueCallback(table, nullptr, HashTable_Int32Value);
        HashTable_SetCompareCallback(table, nullptr, HashTable_Int32Compare);
    }
    return table;
}

// The integer keys of the members in iteration order, each checked against its value.
std::vector<uint32_t> Keys(HashTable* table, std::vector<HashTableMember*>* members = nullptr) {
    std::vector<uint32_t> keys;
    HashTableMember* m = nullptr;
    for (int64_t ok = HashTable_MemberGetFirst(table, &m); ok; ok = HashTable_MemberGetNext(table, m, &m)) {
        const void* key = nullptr;
        uint64_t value = 0;
        HashTable_MemberGet(table, m, &key, &value);
        keys.push_back(*static_cast<const uint32_t*>(key));
        EXPECT_EQ(value, keys.back() + 1000);
        if (members) members->push_back(m);
    }
    return keys;
}

TEST(HashTable, KnownHashValues) {
    const struct {
        uint32_t (*fn)(HashTable*, void*, HashTableKey);
        HashTableKey key;
        uint32_t hash;
    } cases[] = {{HashTable_StringValue, "abc", 0x02062503},
                 {HashTable_StringValue, "", 0x5902879E},
                 {HashTable_StringValueWithoutCase, "AbC", 0x02062503},
                 {HashTable_StringValueWithoutCase, "", 0x5902879E},
                 {HashTable_PointerValue, IntKey(0), 0x4636B9C9},
                 // Only the low 32 bits of a key value count.
                 {HashTable_PointerValue, IntKey(0x100000001ull), 0x62BAF5A0},
                 {HashTable_Int32Value, IntKey(1), 0x62BAF5A0}};
    for (const auto& c : cases) EXPECT_EQ(c.fn(nullptr, nullptr, c.key), c.hash) << &c - cases;
    EXPECT_NE(HashTable_StringValue(nullptr, nullptr, "ABC"), 0x02062503u);
    // Exactly A to Z fold: the characters just outside them stay apart.
    EXPECT_EQ(HashTable_StringValueWithoutCase(nullptr, nullptr, "AZ"),
              HashTable_StringValueWithoutCase(nullptr, nullptr, "az"));
    EXPECT_NE(HashTable_StringValueWithoutCase(nullptr, nullptr, "@["),
              HashTable_StringValueWithoutCase(nullptr, nullptr, "`{"));
}

// Names chosen so that the fixed hash puts them all in one of 64 buckets spread out under the
// keyed one; texts equal without case (and only those) still hash alike in the caseless form.
TEST(HashTable, KeyedValuesScatterChosenCollisions) {
    std::vector<std::string> chosen;
    for (uint32_t i = 0; chosen.size() < 64; i++) {
        const std::string name = "dir/file" + std::to_string(i);
        if (HashTable_StringValue(nullptr, nullptr, name.c_str()) % 64 == 0) chosen.push_back(name);
    }
    std::set<uint32_t> buckets;
    for (const std::string& name : chosen)
        buckets.insert(HashTable_StringKeyedValue(nullptr, nullptr, name.c_str()) % 64);
    EXPECT_GE(buckets.size(), 16u);
    EXPECT_EQ(HashTable_StringKeyedValueWithoutCase(nullptr, nullptr, "Dir/Some File.TXT"),
              HashTable_StringKeyedValueWithoutCase(nullptr, nullptr, "dir/some file.txt"));
    EXPECT_NE(HashTable_StringKeyedValueWithoutCase(nullptr, nullptr, "@[ long enough to fill a word"),
              HashTable_StringKeyedValueWithoutCase(nullptr, nullptr, "`{ long enough to fill a word"));
    EXPECT_NE(HashTable_StringKeyedValue(nullptr, nullptr, "Dir/Some File.TXT"),
              HashTable_StringKeyedValue(nullptr, nullptr, "dir/some file.txt"));
}

TEST(HashTable, AddReplaceFindAndRemove) {
    HashTable* table = MakeTable(16, 32);
    HashTableMember *first = nullptr, *again = nullptr, *found = nullptr;
    EXPECT_EQ(HashTable_AddEx(table, "alpha", 1, &first), 1);
    EXPECT_EQ(HashTable_AddEx(table, "alpha", 2, &again), 1);
    EXPECT_EQ(first, again) << "adding a key again replaces its value";
    EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), 1u);
    EXPECT_EQ(Got<uint64_t>(HashTable_GetValue, table, "alpha"), 2u);
    uint64_t value = 9;
    EXPECT_EQ(HashTable_GetValue(table, "beta", &value), 0);
    EXPECT_EQ(value, 0u);
    found = first;
    EXPECT_EQ(HashTable_MemberFindByKey(table, "beta", &found), 0);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(HashTable_MemberFindByKey(table, "alpha", &found), 1);
    EXPECT_EQ(found, first);
    EXPECT_EQ(HashTable_MemberSetValue(table, found, UINT64_MAX), 1);
    EXPECT_EQ(Got<uint64_t>(HashTable_MemberGetValue, table, found), UINT64_MAX);
    EXPECT_EQ(HashTable_Remove(table, "beta"), 0);
    EXPECT_EQ(HashTable_MemberRemove(table, &found), 1);
    EXPECT_EQ(found, nullptr);
    EXPECT_FALSE(HashTable_ContainsKey(table, "alpha"));
    HashTable_Add(table, "gamma", 3);
    EXPECT_EQ(HashTable_Remove(table, "gamma"), 1);
    EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), 0u);
    HashTable_Delete(&table);
    EXPECT_EQ(table, nullptr);
    // Keys are cut to the key size; neither the long nor the cut text is found afterwards.
    table = MakeTable(8, 4);
    HashTable_Add(table, "abcdefghij", 5);
    EXPECT_FALSE(HashTable_ContainsKey(table, "abcdefghij") || HashTable_ContainsKey(table, "abcdefg"));
    HashTable_Delete(&table);
}

TEST(HashTable, OtherKeyKinds) {
    HashTable* ints = MakeTable(4, 16, true);
    for (uintptr_t i = 0; i < 50; i++) HashTable_Add(ints, IntKey(i), i * 10);
    EXPECT_EQ(Got<uint64_t>(HashTable_GetValue, ints, IntKey(42)), 420u);
    HashTable_Delete(&ints);
    HashTable* names = MakeTable(sizeof(const char*), 16);
    HashTable_SetKeyAssignCallback(names, nullptr, HashTable_StringPointerKeyAssign);
    HashTable_SetValueCallback(names, nullptr, HashTable_StringValueWithoutCase);
    HashTable_SetCompareCallback(names, nullptr, HashTable_StringPointerCompareWithoutCase);
    static const char kName[] = "Mixed";
    HashTable_Add(names, kName, 1);
    EXPECT_TRUE(HashTable_ContainsKey(names, "mIXED"));
    HashTable_Delete(&names);
}

TEST(HashTable, IterationIsBucketOrderNewestFirst) {
    // Made with 5 buckets, the table doubles them past one member each: at the 6th, 11th and
    // 21st add, to 40. Growth keeps each chain newest first.
    HashTable* table = MakeTable(4, 5, true);
    constexpr uint32_t kBuckets = 40;
    std::vector<std::vector<uint32_t>> chains(kBuckets);
    for (uint32_t k = 0; k < 40; k++) {
        HashTable_Add(table, IntKey(k), k + 1000);
        auto& chain = chains[HashTable_Int32Value(nullptr, nullptr, IntKey(k)) % kBuckets];
        chain.insert(chain.begin(), k);
    }
    std::vector<uint32_t> order;
    for (auto& chain : chains) order.insert(order.end(), chain.begin(), chain.end());
    EXPECT_EQ(Keys(table), order);
    HashTable_Add(table, IntKey(order[3]), 1000 + order[3]);
    std::vector<HashTableMember*> members;
    EXPECT_EQ(Keys(table, &members), order) << "replacing a value keeps the member where it is";
    // Removing all but the last member makes chains lose their heads one after another.
    for (size_t i = 0; i + 1 < members.size(); i++) {
        EXPECT_EQ(HashTable_MemberRemove(table, &members[i]), 1);
        EXPECT_EQ(members[i], nullptr);
    }
    EXPECT_EQ(Keys(table), std::vector<uint32_t>{order.back()});
    EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), 1u);
    HashTable_Delete(&table);
}

TEST(HashTable, ResetReusesPoolBlocksAndRemoveAllReleasesThem) {
    Memory_Init(0);
    const uint32_t before = Got<uint32_t>(Memory_GetCount);
    HashTable* table = MakeTable(4, 16, true);
    const uint32_t created = Got<uint32_t>(Memory_GetCount); // the table, its buckets and its pool
    std::set<HashTableMember*> first, second;
    HashTableMember* m = nullptr;
    for (uint32_t k = 0; k < 25; k++) first.insert((HashTable_AddEx(table, IntKey(k), k, &m), m));
    EXPECT_EQ(Got<uint32_t>(Memory_GetCount), created + 3) << "25 members in chunks of 10";
    HashTable_Reset(table);
    EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), 0u);
    EXPECT_TRUE(Keys(table).empty());
    for (uint32_t k = 100; k < 130; k++) second.insert((HashTable_AddEx(table, IntKey(k), k, &m), m));
    EXPECT_EQ(Got<uint32_t>(Memory_GetCount), created + 3) << "30 members fit the three chunks held";
    for (HashTableMember* old : first) EXPECT_TRUE(second.count(old));
    EXPECT_FALSE(HashTable_ContainsKey(table, IntKey(3)));
    EXPECT_TRUE(HashTable_ContainsKey(table, IntKey(103)));
    HashTable_RemoveAll(table);
    EXPECT_EQ(Got<uint32_t>(Memory_GetCount), created);
    HashTable_Add(table, IntKey(1), 1);
    HashTable_Delete(&table);
    EXPECT_EQ(Got<uint32_t>(Memory_GetCount), before);
    Memory_Remove();
}

// Far more members than the buckets it was made with: every member is found by its key and by
// its handle after the buckets have doubled again and again, a walk meets each once, and a
// member taken out by its handle is gone.
TEST(HashTable, GrowsPastItsBucketsKeepingEveryMember) {
    HashTable* table = MakeTable(4, 3, true);
    constexpr uint32_t kCount = 5000;
    std::vector<HashTableMember*> handles;
    for (uint32_t k = 0; k < kCount; k++) {
        HashTableMember* m = nullptr;
        HashTable_AddEx(table, IntKey(k), k + 1000, &m);
        handles.push_back(m);
    }
    EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), kCount);
    std::vector<uint32_t> keys = Keys(table);
    std::sort(keys.begin(), keys.end());
    ASSERT_EQ(keys.size(), kCount);
    for (uint32_t k = 0; k < kCount; k++) EXPECT_EQ(keys[k], k);
    for (uint32_t k = 0; k < kCount; k += 7) {
        uint64_t value = 0;
        HashTableMember* found = nullptr;
        EXPECT_EQ(HashTable_GetValue(table, IntKey(k), &value), 1);
        EXPECT_EQ(value, k + 1000u);
        EXPECT_EQ(HashTable_MemberFindByKey(table, IntKey(k), &found), 1);
        EXPECT_EQ(found, handles[k]);
    }
    for (uint32_t k = 0; k < kCount; k += 2) EXPECT_EQ(HashTable_MemberRemove(table, &handles[k]), 1);
    EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), kCount / 2);
    EXPECT_FALSE(HashTable_ContainsKey(table, IntKey(10)));
    EXPECT_TRUE(HashTable_ContainsKey(table, IntKey(11)));
    EXPECT_EQ(Keys(table).size(), kCount / 2);
    HashTable_Delete(&table);
}

TEST(HashTable, CountReadFromAnotherThread) {
    HashTable* table = MakeTable(4, 512, true);
    constexpr uint32_t kAdds = 20000;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0}, reads{0};
    std::thread reader([&] {
        for (uint32_t last = 0, count = 0; !done.load(); reads++, last = count) {
            count = Got<uint32_t>(HashTable_GetCount, table);
            bad += count < last || count > kAdds;
        }
    });
    // On a busy machine the reader may not have run yet: the adds start once it has read, or
    // after a generous bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (reads.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    for (uint32_t k = 0; k < kAdds; k++) HashTable_Add(table, IntKey(k), k);
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), kAdds);
    HashTable_Delete(&table);
}

TEST(HashTable, MisuseAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string hex = "0x[0-9A-F]{16}";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { HashTable_Add(reinterpret_cast<HashTable*>(std::vector<int32_t>(16).data()), "x", 1); },
         "ABORT - Class mismatch pointer \\(" + hex + ": expected 0x3cf21d39 but was 0x00000000\\)\n"},
        // A member of another table would unlink through this table's buckets.
        {[] {
             HashTable *big = MakeTable(16, 512), *small = MakeTable(16, 2);
             HashTableMember* m = nullptr;
             for (int i = 0; i < 50; i++) HashTable_AddEx(big, std::to_string(i).c_str(), 1, &m);
             HashTable_AddEx(small, "x", 1, &m);
             HashTable_AddEx(big, "y", 1, &m);
             HashTable_MemberRemove(small, &m);
         },
         "ABORT - Assertion failed \\(.*\\)\nMember \\[" + hex + "\\] is not in this table \\[" + hex +
             "\\]"},
        {[] {
             HashTable* table = MakeTable(16, 8);
             HashTableMember* m = nullptr;
             HashTable_AddEx(table, "x", 1, &m);
             HashTable_Reset(table);
             Got<uint64_t>(HashTable_MemberGetValue, table, m);
         },
         "ABORT - Class mismatch pointer \\(" + hex + ": expected 0x1e7d9d7a but was 0x00000000\\)\n"},
        {[] { MakeTable(16, 0); },
         AbortRegex("Assertion failed (bucketCount > 0)\nBucket count must not be zero")},
    };
    for (const auto& [misuse, text] : cases) EXPECT_DEATH((BoundedDeathChild(), misuse()), text) << text;
}

} // namespace
