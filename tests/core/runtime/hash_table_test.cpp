#include "core/runtime/hash_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/support/abort_hook.h"

namespace {

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
    for (int64_t ok = HashTable_MemberGetFirst(table, &member); ok; ok = HashTable_MemberGetNext(table, member, &member)) {
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

} // namespace
