#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/formats/yaml.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/dictionary_load.h"

namespace {

bool SameKey(const char* stored, const char* key, bool caseless) {
    for (;; stored++, key++) {
        unsigned char a = (unsigned char)*stored, b = (unsigned char)*key;
        if (caseless) {
            if (a >= 'A' && a <= 'Z') a = (unsigned char)(a + 32);
            if (b >= 'A' && b <= 'Z') b = (unsigned char)(b + 32);
        }
        if (a != b) return false;
        if (a == 0) return true;
    }
}

// The first holder of `key` from `start` on, by walking the list.
DictionaryItem* Scan(Dictionary* dict, const char* key, DictionaryItem* start) {
    const bool caseless = dict->CaseSensitive != 1;
    for (DictionaryItem* item = start ? start : dict->Items.First; item; item = item->Next)
        if (item->Key && SameKey(DictionaryItem_Key(item), key, caseless)) return item;
    return nullptr;
}

DictionaryItem* Find(Dictionary* dict, const char* key, DictionaryItem* start) {
    DictionaryItem* found = nullptr;
    const int64_t ok = Dictionary_ItemFindByKey(dict, key, start, &found);
    EXPECT_EQ(ok != 0, found != nullptr);
    return found;
}

DictionaryItem* At(Dictionary* dict, uint32_t position) {
    DictionaryItem* item = nullptr;
    Dictionary_ItemFindByIndex(dict, (int32_t)position, nullptr, &item);
    return item;
}

// Random adds (at the end, the front and in between), renames, removals and case changes over a
// small key alphabet, so that keys repeat; after each step every key is looked up from the head
// and from a random start and must give what a scan gives.
void RunRandom(uint32_t seed, uint32_t caseSensitive, uint32_t steps) {
    std::mt19937 rng(seed);
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetPrivateKeys(dict, 0);
    Dictionary_SetCaseSensitive(dict, caseSensitive);
    auto key = [&](uint32_t range) {
        const uint32_t n = rng() % range;
        std::string k = "k" + std::to_string(n);
        if (rng() % 4 == 0) k[0] = 'K';
        return k;
    };
    for (uint32_t step = 0; step < steps; step++) {
        const uint32_t count = dict->Items.Count;
        const uint32_t op = rng() % 100;
        const uint32_t range = 20 + count;
        if (op < 45 || count < 4) {
            const std::string k = key(range);
            DictionaryItem* after = count ? At(dict, rng() % (count + 1)) : nullptr;
            if (rng() % 3 == 0) after = dict->Items.Last;
            Dictionary_Insert(dict, after, rng() % 10 ? k.c_str() : nullptr, nullptr);
        } else if (op < 70) {
            DictionaryItem* victim = At(dict, rng() % count);
            Dictionary_Remove(dict, &victim);
        } else if (op < 90) {
            const std::string k = key(range);
            Dictionary_ItemSetKey(dict, At(dict, rng() % count), rng() % 10 ? k.c_str() : nullptr);
        } else if (op < 92) {
            Dictionary_SetCaseSensitive(dict, dict->CaseSensitive == 1 ? 0 : 1);
        } else if (op < 93) {
            Dictionary_Reset(dict);
        } else {
            // A stored key with a NUL inside compares up to the NUL.
            const std::string k = key(range);
            std::string raw = k + std::string(1, '\0') + "tail";
            Dictionary_ItemSetKeyLength(dict, At(dict, rng() % count), raw.data(), (int32_t)raw.size());
        }
        const uint32_t now = dict->Items.Count;
        for (uint32_t probe = 0; probe < 8; probe++) {
            const std::string k = key(range + 5);
            ASSERT_EQ(Find(dict, k.c_str(), nullptr), Scan(dict, k.c_str(), nullptr)) << seed << " " << step;
            DictionaryItem* start = now ? At(dict, rng() % now) : nullptr;
            ASSERT_EQ(Find(dict, k.c_str(), start), Scan(dict, k.c_str(), start)) << seed << " " << step;
            // The walk of every holder of a key, as path lookups make it.
            DictionaryItem* held = Scan(dict, k.c_str(), nullptr);
            if (held && held->Next) {
                ASSERT_EQ(Find(dict, k.c_str(), held->Next), Scan(dict, k.c_str(), held->Next));
            }
        }
    }
    Dictionary_Release(&dict);
}

TEST(DictionaryIndex, RandomEditsMatchAScan) {
    const struct {
        uint32_t Seed;
        uint32_t CaseSensitive;
        uint32_t Steps;
    } cases[] = {{1, 1, 3000}, {2, 0, 3000}, {3, 1, 6000}, {4, 0, 6000}, {5, 1, 1500}};
    for (const auto& c : cases) RunRandom(c.Seed, c.CaseSensitive, c.Steps);
}

TEST(DictionaryIndex, LargeContainerFindsEveryKeyAndNoOther) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    char key[32];
    for (int32_t i = 0; i < 20000; i++) {
        snprintf(key, sizeof(key), "key%d", i);
        Dictionary_AddInt32(dict, key, i, nullptr);
    }
    ASSERT_NE(Dictionary_Index(dict), nullptr);
    for (int32_t i = 0; i < 20000; i++) {
        snprintf(key, sizeof(key), "key%d", i);
        int32_t value = -1;
        ASSERT_EQ(Dictionary_GetInt32ByKey(dict, key, &value), 1);
        ASSERT_EQ(value, i);
    }
    EXPECT_EQ(Dictionary_ContainsKey(dict, "key20000"), 0);
    // The positional form still counts positions.
    DictionaryItem* item = nullptr;
    ASSERT_EQ(Dictionary_ItemFindByKey(dict, "[5]", nullptr, &item), 1);
    EXPECT_STREQ(DictionaryItem_Key(item), "key5");
    Dictionary_Release(&dict);
}

TEST(DictionaryIndex, NoDuplicatesWhenRefused) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    Dictionary_SetAllowDuplicates(dict, 0);
    for (int32_t round = 0; round < 2; round++)
        for (int32_t i = 0; i < 100; i++) Dictionary_Add(dict, ("k" + std::to_string(i)).c_str(), nullptr);
    uint32_t count = 0;
    Dictionary_ItemGetCount(dict, &count);
    EXPECT_EQ(count, 100u);
    Dictionary_Release(&dict);
}

TEST(DictionaryIndex, ChildIndexesGoWithTheTree) {
    Dictionary* dict = nullptr;
    Dictionary_Create(&dict);
    for (int32_t i = 0; i < 50; i++) {
        Dictionary* child = nullptr;
        Dictionary_AddDictionary(dict, ("c" + std::to_string(i)).c_str(), &child, nullptr);
        for (int32_t j = 0; j < 40; j++) Dictionary_AddInt32(child, ("k" + std::to_string(j)).c_str(), j, nullptr);
    }
    int32_t value = 0;
    EXPECT_EQ(Dictionary_GetInt32ByPath(dict, "c49.k39", &value), 1);
    EXPECT_EQ(value, 39);
    Dictionary_Release(&dict); // ASan reports any index left behind
}

// Every container of the tree with enough keyed items has an index, and every key (present or
// not, repeated or not, in the other case) is found where a scan finds it.
void ExpectIndexedAsScanned(Dictionary* dict) {
    uint32_t keyed = 0;
    for (DictionaryItem* item = dict->Items.First; item; item = item->Next) {
        if (item->Key) keyed++;
        if (Dictionary* child = DictionaryItem_Child(item)) ExpectIndexedAsScanned(child);
    }
    // A long list of unnamed items has no index to keep.
    EXPECT_EQ(Dictionary_Index(dict) != nullptr, keyed >= kDictionaryIndexThreshold) << keyed;
    for (int32_t i = 0; i < 140; i++) {
        for (const std::string& k : {"k" + std::to_string(i), "K" + std::to_string(i)}) {
            ASSERT_EQ(Find(dict, k.c_str(), nullptr), Scan(dict, k.c_str(), nullptr)) << k;
            DictionaryItem* held = Scan(dict, k.c_str(), nullptr);
            if (held) {
                ASSERT_EQ(Find(dict, k.c_str(), held->Next), Scan(dict, k.c_str(), held->Next)) << k;
            }
        }
    }
}

// An index made once the appends are over exists where appends one at a time make one: once a
// keyed item comes at the threshold's position or past it.
TEST(DictionaryIndex, IndexLoadedAsAppendsMakeIt) {
    const struct {
        uint32_t Count;
        std::vector<uint32_t> Keyed; // positions (from 1) of the keyed items
        bool Indexed;
    } cases[] = {
        {40, {}, false},
        {40, {1, 2, 15}, false},
        {16, {16}, true},
        {40, {3, 30}, true},
        {15, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, false},
    };
    for (const auto& c : cases) {
        for (const bool later : {false, true}) {
            Dictionary* dict = nullptr;
            Dictionary_Create(&dict);
            for (uint32_t position = 1; position <= c.Count; position++) {
                const bool keyed = std::find(c.Keyed.begin(), c.Keyed.end(), position) != c.Keyed.end();
                const std::string key = "k" + std::to_string(position);
                (later ? Dictionary_AppendLoadedIndexLater
                       : Dictionary_AppendLoaded)(dict, keyed ? key.c_str() : nullptr, (int32_t)key.size(),
                                                  DICTIONARY_TYPE_INT64, "1", 1, nullptr);
            }
            if (later) Dictionary_IndexLoaded(dict);
            EXPECT_EQ(Dictionary_Index(dict) != nullptr, c.Indexed)
                << c.Count << (later ? " later" : " at once");
            Dictionary_Release(&dict);
        }
    }
}

// The JSON reader indexes a container when it closes, in one pass, and at the end of a load
// those left open (the input was cut short or bad) and the bound Dictionary itself.
TEST(DictionaryIndex, JsonLoadIndexesClosedAndOpenContainers) {
    // Objects of 120 keys, some repeated (every seventh is k1, k2 ...), nested in an array.
    const auto object = [](int32_t salt) {
        std::string text = "{";
        for (int32_t i = 0; i < 120; i++) {
            const int32_t k = i % 7 == 6 ? i / 7 : i + salt;
            text += (i ? ",\"k" : "\"k") + std::to_string(k) + "\":" + std::to_string(i);
        }
        return text + "}";
    };
    std::string numbers = "[0";
    for (int32_t i = 1; i < 40; i++) numbers += "," + std::to_string(i);
    const std::string whole =
        "[" + object(0) + "," + object(3) + "," + numbers + "],{\"in\":" + object(5) + "}]";
    const struct {
        std::string Text;
        uint32_t CaseSensitive;
        bool Complete;
    } cases[] = {
        {whole, 1, true},
        {whole, 0, true},
        {whole.substr(0, whole.size() / 2), 1, false},        // cut inside the second object
        {whole.substr(0, whole.size() - 10), 0, false},       // cut inside the nested one
        {whole.substr(0, whole.size() / 3) + "}x", 1, false}, // bad inside the first one
        {whole.substr(0, whole.find(",39]")), 1, false},      // cut inside the list of numbers
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text.size());
        Dictionary* dict = nullptr;
        Dictionary_Create(&dict);
        Dictionary_SetPrivateKeys(dict, 0);
        Dictionary_SetCaseSensitive(dict, c.CaseSensitive);
        JSON* json = nullptr;
        JSON_Create(&json);
        JSON_SetDictionaryHandle(json, dict);
        EXPECT_EQ(JSON_LoadBuffer(json, c.Text.data(), (uint32_t)c.Text.size()), c.Complete ? 1 : 0);
        JSON_Delete(&json);
        ExpectIndexedAsScanned(dict);
        Dictionary_Release(&dict);
    }
}

// The index's former hash, fixed and unkeyed: keys that share the low bits of it could be found
// offline, so that one document made every insert walk one ever longer run of slots.
uint32_t UnkeyedHash(const std::string& key) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t)key.size();
    size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
        uint64_t w;
        memcpy(&w, key.data() + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    if (i < key.size()) {
        uint64_t w = 0;
        memcpy(&w, key.data() + i, key.size() - i);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return (uint32_t)h;
}

// `count` distinct eight-letter keys: with `crafted`, only those whose unkeyed hash names one of
// the first 32 slots of a table of `slots` (and so of every smaller one); else random ones.
std::vector<std::string> EightLetterKeys(size_t count, bool crafted, uint32_t slots) {
    std::vector<std::string> keys;
    std::mt19937_64 rng(7);
    std::string key(8, 'a');
    for (uint64_t n = 0; keys.size() < count; n++) {
        uint64_t digits = crafted ? n : rng();
        for (char& c : key) {
            c = (char)('a' + digits % 26);
            digits /= 26;
        }
        if (!crafted || (UnkeyedHash(key) & (slots - 1)) < 32) keys.push_back(key);
    }
    return keys;
}

struct Reader {
    const char* Name;
    std::function<std::string(const std::vector<std::string>&)> Document;
    std::function<bool(const std::string&, Dictionary*)> Load;
};

const Reader kReaders[] = {
    {"json",
     [](const std::vector<std::string>& keys) {
         std::string text = "{";
         for (const std::string& k : keys) {
             text += text.size() > 1 ? ",\"" : "\"";
             text += k;
             text += "\":1";
         }
         return text + "}";
     },
     [](const std::string& text, Dictionary* dict) {
         JSON* json = nullptr;
         JSON_Create(&json);
         JSON_SetDictionaryHandle(json, dict);
         const bool ok = JSON_LoadBuffer(json, text.data(), (uint32_t)text.size()) == 1;
         JSON_Delete(&json);
         return ok;
     }},
    {"yaml",
     [](const std::vector<std::string>& keys) {
         std::string text;
         for (const std::string& k : keys) text += k + ": 1\n";
         return text;
     },
     [](const std::string& text, Dictionary* dict) {
         YAML* yaml = nullptr;
         YAML_Create(&yaml);
         YAML_SetDictionaryHandle(yaml, dict);
         const bool ok = YAML_LoadBuffer(yaml, text.data(), (uint32_t)text.size()) == 1;
         YAML_Delete(&yaml);
         return ok;
     }},
};

// Keys chosen to collide under a fixed hash load as random keys do: every key lies a short probe
// from its slot, so that the load's work grows with the keys, not with their square.
TEST(DictionaryIndex, KeysChosenToCollideLoadInLinearTime) {
    constexpr size_t kKeys = 4000;
    constexpr uint32_t kShortProbe = 128; // random keys stay far below it
    for (const Reader& reader : kReaders) {
        for (const bool crafted : {true, false}) {
            SCOPED_TRACE(std::string(reader.Name) + (crafted ? " crafted" : " random"));
            const std::vector<std::string> keys = EightLetterKeys(kKeys, crafted, 8192);
            Dictionary* dict = nullptr;
            Dictionary_Create(&dict);
            ASSERT_TRUE(reader.Load(reader.Document(keys), dict));
            Dictionary* root = nullptr;
            Dictionary_SkipRoot(dict, &root);
            uint32_t count = 0;
            Dictionary_ItemGetCount(root, &count);
            EXPECT_EQ(count, kKeys);
            EXPECT_LT(Dictionary_IndexLongestProbe(root), kShortProbe);
            for (const std::string& k : keys) ASSERT_EQ(Dictionary_ContainsKey(root, k.c_str()), 1) << k;
            Dictionary_Release(&dict);
        }
    }
}

} // namespace
