#include "core/crypto/hmac.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/crc.h"
#include "tests/core/crypto/digest_vectors.h"

namespace {

std::string Hmac(const HashInterface* record, const std::string& key, const std::string& data) {
    char text[160] = {};
    const int64_t answer = HMAC_QuickString(record, data.data(), (uint32_t)data.size(), key.data(),
                                            (uint32_t)key.size(), 0, text, sizeof(text));
    return answer == 1 ? std::string(text) : "failed";
}

// An object bound to record with the key given in chunks of the given sizes.
struct Object {
    HMAC* H = nullptr;
    Object(const HashInterface* record = nullptr, const std::string& key = "",
           std::vector<int32_t> chunks = {}) {
        EXPECT_EQ(HMAC_Create(&H), 1);
        if (!record) return;
        EXPECT_EQ(HMAC_SetHashInterface(H, record), 1);
        if (chunks.empty()) chunks = {(int32_t)key.size()};
        int32_t done = 0;
        for (int32_t n : chunks) {
            n = std::min<int32_t>(n, (int32_t)key.size() - done);
            EXPECT_EQ(HMAC_SetKey(H, key.data() + done, n), 1);
            done += n;
        }
    }
    ~Object() { HMAC_Delete(&H); }
    std::string Run(const std::string& data) {
        EXPECT_EQ(HMAC_Process(H, data.data(), (uint32_t)data.size()), 1);
        EXPECT_EQ(HMAC_Generate(H), 1);
        char text[129] = {};
        EXPECT_EQ(HMAC_GetString(H, 0, text, sizeof(text)), 1);
        return text;
    }
};

const std::string kKey25 = FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819");
const std::string kLongKey80(80, '\xaa');
const std::string kLongKey131(131, '\xaa');
const char* const kHashKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";
const char* const kLongData = "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";

TEST(HmacTest, Rfc2202Md5AndSha1) {
    const struct {
        std::string Key;
        std::string Data;
        const char* Md5;
        const char* Sha1;
    } cases[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d", nullptr},
        {std::string(20, '\x0b'), "Hi There", nullptr, "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6", nullptr},
        {std::string(20, '\xaa'), std::string(50, '\xdd'), nullptr,
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {kKey25, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79",
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c", nullptr},
        {std::string(20, '\x0c'), "Test With Truncation", nullptr,
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {kLongKey80, kHashKeyFirst, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {kLongKey80, kLongData, "6f630fad67cda0ee1fb1f562db3aa53e",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.Md5 ? Hmac(&MD5_INTERFACE, c.Key, c.Data) : "", c.Md5 ? c.Md5 : "") << c.Data;
        EXPECT_EQ(c.Sha1 ? Hmac(&SHA1_INTERFACE, c.Key, c.Data) : "", c.Sha1 ? c.Sha1 : "") << c.Data;
    }
}

TEST(HmacTest, Rfc4231Sha2) {
    const std::string bigData =
        "This is a test using a larger than block-size key and a larger than block-size data. "
        "The key needs to be hashed before being used by the HMAC algorithm.";
    // clang-format off
    const struct {
        std::string Key;
        std::string Data;
        const char* Mac[4]; // SHA-224, SHA-256, SHA-384, SHA-512
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         {"896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
          "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
          "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59c"
          "faea9ea9076ede7f4af152e8b2fa9cb6",
          "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
          "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"}},
        {"Jefe", "what do ya want for nothing?",
         {"a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
          "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
          "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e"
          "8e2240ca5e69e2c78b3239ecfab21649",
          "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
          "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"}},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         {"7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
          "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
          "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b"
          "2a5ab39dc13814b94e3ab6e101a34f27",
          "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39"
          "bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb"}},
        {kKey25, std::string(50, '\xcd'),
         {"6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
          "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
          "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e"
          "6801dd23c4a7d679ccf8a386c674cffb",
          "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3db"
          "a91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd"}},
        {kLongKey131, kHashKeyFirst,
         {"95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
          "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
          "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c6"
          "0c2ef6ab4030fe8296248df163f44952",
          "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
          "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"}},
        {kLongKey131, bigData,
         {"3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1",
          "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
          "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5"
          "a678cc31e799176d3860e6110c46523e",
          "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944"
          "b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"}},
    };
    // clang-format on
    const HashInterface* records[] = {&SHA224_INTERFACE, &SHA256_INTERFACE, &SHA384_INTERFACE,
                                      &SHA512_INTERFACE};
    for (const auto& c : cases)
        for (int i = 0; i < 4; i++) EXPECT_EQ(Hmac(records[i], c.Key, c.Data), c.Mac[i]) << records[i]->Name;
    // Test case 5 keeps only the first 128 bits: read the whole value and compare its start.
    EXPECT_EQ(Hmac(&SHA256_INTERFACE, std::string(20, '\x0c'), "Test With Truncation").substr(0, 32),
              "a3b6167473100ee06e0c796c2955552b");
    EXPECT_EQ(Hmac(&SHA512_INTERFACE, std::string(20, '\x0c'), "Test With Truncation").substr(0, 32),
              "415fad6271580a531d4179bc891d87a6");
}

// Keys one byte short of, equal to and one byte past the block (64 bytes, 128 for SHA-384/512):
// only a longer key is hashed first. Expected values from Python's hmac module over the test
// pattern (see Pattern) and the message "message".
TEST(HmacTest, KeysAroundTheBlockSize) {
    // clang-format off
    const std::tuple<const HashInterface*, size_t, const char*> cases[] = {
        {&MD5_INTERFACE, 63, "78b84db7bf80b4f2a895df35fec553f4"},
        {&MD5_INTERFACE, 64, "0c23ad032a2c12a24a414b030ab0df9d"},
        {&MD5_INTERFACE, 65, "fbc2877c7d414caa5786bf85420986e0"},
        {&SHA1_INTERFACE, 63, "be95f8f06fa2df07121d141a2eea511fed8aa977"},
        {&SHA1_INTERFACE, 64, "60352685d64607cc66cd51aaf4a136ba84e057c0"},
        {&SHA1_INTERFACE, 65, "75990e151b58e77b2f49f5bab8ae3d8e310cd523"},
        {&SHA256_INTERFACE, 63, "af2561736b99373c720d1d06c57171ecc0c8054106a5b2aedaf4659bd199772a"},
        {&SHA256_INTERFACE, 64, "5eda7d258eb8fe6a7c476f3629f8185fe64fb2b2d533b2fea1e9aa4d1525de7f"},
        {&SHA256_INTERFACE, 65, "17fdd3ee057275f69a896a6540a6c172d6d0adcdbd38081434edfb68a1095070"},
        {&SHA384_INTERFACE, 127,
         "c7c7a1429c084f8001153a4b657e5752b6bacd37629b33834e08a44f6cd3e832"
         "bb3d1e644dcc1e2058cda172f0ba465d"},
        {&SHA384_INTERFACE, 128,
         "e31378fde50d93b43b3f7f262c8dd857e4fdba7266fb17189fa0691720fa674b"
         "822c7fcd8c66b05aba88ebcab1ee2b7c"},
        {&SHA384_INTERFACE, 129,
         "b252cc4b34a96039000911be8988e61db40912cca2983eaf8b831a52a915fa95"
         "494fb88aebc98c4eda79496118c85e73"},
        {&SHA512_INTERFACE, 127,
         "0e8097ee7f872365e8934406a73ddf520c84a01c5eaf8c750b77785d45dd2b31"
         "386fcab075b361b2c4f3c571aab90428dfff31d36b93490c6b7a150f58970255"},
        {&SHA512_INTERFACE, 128,
         "d6337aa35cff53ea1f9d92ca0736a382be987d73fdf27fba9446a34858533abb"
         "ddf62698647455223c6e230a2a9d0d73aba163e6da039a44613586a1871a0d74"},
        {&SHA512_INTERFACE, 129,
         "b1a5985a19cddb9eea324a2a0d5a08c45ee6a815a46386394b28ea1c11164238"
         "e23ce1112bb73f21b73220ef657d3c0130170a19356355163f0ae5d5ab55d718"},
    };
    // clang-format on
    for (const auto& [record, length, mac] : cases) {
        const std::string key = Pattern(length);
        EXPECT_EQ(Hmac(record, key, "message"), mac) << record->Name << " " << length;
        // The same key given in chunks: around the block end, and with empty chunks.
        const int32_t block = (int32_t)record->BlockSize;
        for (const std::vector<int32_t>& chunks : std::vector<std::vector<int32_t>>{
                 {1, block - 1, 1}, {block, 1}, {1, block}, {0, block + 1}, {30, 30, 5, 100}})
            EXPECT_EQ(Object(record, key, chunks).Run("message"), mac)
                << record->Name << " " << length << " in chunks";
    }
}

TEST(HmacTest, ObjectStates) {
    // Unbound: nothing is accepted and nothing written.
    Object h;
    uint8_t out[64];
    memset(out, 0xEE, sizeof(out));
    char text[8] = "zz";
    EXPECT_EQ(HMAC_SetKey(h.H, "key", 3) + HMAC_Process(h.H, "abc", 3) + HMAC_Generate(h.H) +
                  HMAC_GetDigest(h.H, out, 64) + HMAC_GetString(h.H, 0, text, 8),
              0);
    EXPECT_EQ(std::pair(std::string(text), out[0]), std::pair(std::string("zz"), uint8_t{0xEE}));
    EXPECT_EQ(HMAC_SetHashInterface(h.H, nullptr), 1);

    // Generating without processing gives the HMAC of the empty message.
    EXPECT_EQ(HMAC_SetHashInterface(h.H, &SHA256_INTERFACE), 1);
    EXPECT_EQ(HMAC_SetKey(h.H, "key", 3), 1);
    EXPECT_EQ(HMAC_Generate(h.H), 1);
    char hex[65];
    EXPECT_EQ(HMAC_GetString(h.H, 0, hex, sizeof(hex)), 1);
    EXPECT_STREQ(hex, "5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0");
    EXPECT_EQ(Hmac(&SHA256_INTERFACE, "key", ""), hex);

    // Binding the same record again forgets the key; once processing has begun, key bytes are
    // refused and the running state stays.
    EXPECT_EQ(HMAC_SetHashInterface(h.H, &SHA256_INTERFACE), 1);
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(HMAC_Process(h.H, fox.data(), (uint32_t)fox.size()), 1);
    EXPECT_EQ(HMAC_SetKey(h.H, "late", 4), 0);
    EXPECT_EQ(h.Run(""), "fb011e6154a19b9a4c767373c305275a5a69e8b68b0b4c9200c383dced19a416");

    // Reset forgets the key; rebinding to another record resizes the key block.
    EXPECT_EQ(HMAC_Reset(h.H), 1);
    EXPECT_EQ(HMAC_SetKey(h.H, "secret", 6), 1);
    EXPECT_EQ(h.Run("text"), Hmac(&SHA256_INTERFACE, "secret", "text"));
    EXPECT_EQ(HMAC_SetHashInterface(h.H, &SHA512_INTERFACE), 1);
    EXPECT_EQ(HMAC_SetKey(h.H, "k", -1), 0);
    EXPECT_EQ(HMAC_SetKey(h.H, "secret", 6), 1);
    EXPECT_EQ(h.Run("text"), Hmac(&SHA512_INTERFACE, "secret", "text"));
    // Two references: the first release keeps the object.
    HMAC* other = h.H;
    EXPECT_EQ(HMAC_AddRef(h.H), 1);
    EXPECT_EQ(HMAC_Release(&other), 1);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(HMAC_Reset(h.H), 1);
}

TEST(HmacTest, ShortBuffersAreRefused) {
    // A value that does not fit answers 0 and leaves the buffer as it was.
    uint8_t out[64];
    for (const HashInterface* record :
         {&MD5_INTERFACE, &SHA1_INTERFACE, &SHA256_INTERFACE, &SHA512_INTERFACE}) {
        for (uint32_t capacity : {record->DigestSize - 1, 1u}) {
            memset(out, 0xEE, sizeof(out));
            const int64_t answer = HMAC_QuickDigest(record, "data", 4, "key", 3, out, capacity);
            EXPECT_EQ(std::tuple(answer, out[0], out[capacity - 1]), std::tuple(0, 0xEE, 0xEE))
                << record->Name << " " << capacity;
        }
        EXPECT_EQ(HMAC_QuickDigest(record, "data", 4, "key", 3, out, record->DigestSize), 1) << record->Name;
        EXPECT_EQ(ToHex(out, record->DigestSize), Hmac(record, "key", "data")) << record->Name;
    }
    Object h(&SHA1_INTERFACE, "key");
    h.Run("data");
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(HMAC_GetDigest(h.H, out, 19), 0);
    EXPECT_EQ(out[0], 0xEE);
    // Text cut short answers 0 too.
    char text[41];
    EXPECT_EQ(HMAC_GetString(h.H, 0, text, 20), 0);
    EXPECT_EQ(std::string(text), Hmac(&SHA1_INTERFACE, "key", "data").substr(0, 19));
    // No record in the one-call forms.
    char quick[65] = "untouched";
    EXPECT_EQ(HMAC_QuickString(nullptr, "data", 4, "key", 3, 0, quick, sizeof(quick)), 0);
    EXPECT_STREQ(quick, "");
    EXPECT_EQ(HMAC_QuickDigest(nullptr, "data", 4, "key", 3, out, sizeof(out)), 0);
}

TEST(HmacTest, CopyRunningHmac) {
    // A copy made while the key is still arriving (into an object bound to another record), and
    // one made mid-message.
    Object a(&SHA256_INTERFACE, "sec"), b(&MD5_INTERFACE), c;
    EXPECT_EQ(HMAC_CopyTo(a.H, b.H), 1);
    HMAC_SetKey(a.H, "ret", 3);
    HMAC_SetKey(b.H, "ret", 3);
    HMAC_Process(a.H, "first half ", 11);
    EXPECT_EQ(HMAC_CopyTo(a.H, c.H), 1);
    HMAC_Process(b.H, "first half ", 11);
    for (Object* o : {&a, &b, &c})
        EXPECT_EQ(o->Run("second half"), Hmac(&SHA256_INTERFACE, "secret", "first half second half"));
    // A copy from an unbound object unbinds the target.
    Object unbound;
    EXPECT_EQ(HMAC_CopyTo(unbound.H, c.H), 1);
    EXPECT_EQ(HMAC_Generate(c.H), 0);
}

TEST(HmacTest, ExpandKey) {
    // key, argument (null: none), answer, expansion, the argument afterwards
    // clang-format off
    const std::tuple<const char*, const char*, int64_t, std::string, std::string> cases[] = {
        // The whole text after the key's comma is hashed, commas included.
        {"HMACSHA256", "secret,one,two,three", 1, Hmac(&SHA256_INTERFACE, "secret", "one,two,three"),
         std::string("secret\0one,two,three", 20)},
        {"hmacmd5", "secret,text", 1, Hmac(&MD5_INTERFACE, "secret", "text"),
         std::string("secret\0text", 11)},
        {"HMACSha512", ",", 1, Hmac(&SHA512_INTERFACE, "", ""), std::string("\0", 1)},
        {"HMAC", "SHA1,key,a,b", 1, Hmac(&SHA1_INTERFACE, "key", "a,b"), std::string("SHA1\0key\0a,b", 12)},
        {"Hmac", "crc,key,text", 1, Hmac(&CRC_INTERFACE, "key", "text"), std::string("crc\0key\0text", 12)},
        // Only one comma after the bare key name: nothing.
        {"HMAC", "SHA1,key", 1, "", std::string("SHA1\0key", 8)}, {"HMAC", "SHA1", 1, "", "SHA1"},
        {"HMACSHA1", "keyonly", 1, "", "keyonly"}, {"HMACSHA3", "key,text", 1, "", "key,text"},
        {"HMAC", "Whirlpool,key,text", 1, "", std::string("Whirlpool\0key,text", 18)},
        {"HMACSHA256", nullptr, 0, "", ""}, {"HMAC", nullptr, 0, "", ""},
        {"HMA", "SHA1,key,text", 0, "", "SHA1,key,text"},
        {"MD5", "abc", 0, "", "abc"}};
    // clang-format on
    for (const auto& [key, text, answer, expansion, after] : cases) {
        char argument[64] = {};
        if (text) strcpy(argument, text);
        char out[160] = {};
        const std::string label = std::string(key) + " " + (text ? text : "(none)");
        const int64_t got = HMAC_ExpandKey(nullptr, key, text ? argument : nullptr, out, sizeof(out));
        EXPECT_EQ(std::tuple(got, std::string(out), std::string(argument, after.size())),
                  std::tuple(answer, expansion, after))
            << label;
    }
}

struct Derived {
    int32_t Answer;
    std::string Key;
};
Derived Derive(const std::string& password, const std::string& salt, uint32_t iterations, size_t length) {
    std::vector<uint8_t> out(length + 1, 0xEE);
    const int32_t answer =
        HMACSHA1_DeriveKey(password.data(), (uint32_t)password.size(), salt.data(), (uint32_t)salt.size(),
                           iterations, out.data(), (uint16_t)length);
    EXPECT_EQ(out[length], 0xEE) << "wrote past the key";
    return {answer, ToHex(out.data(), length)};
}

TEST(HmacTest, Pbkdf2Sha1KnownAnswers) {
    // password, salt, iterations, key
    // clang-format off
    const std::tuple<std::string, std::string, uint32_t, const char*> cases[] = {
        // RFC 6070.
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"password", "salt", 16777216, "eefe3d61cd4da4e4e9945b3d6ba2158c2634e984"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
        // Passwords around the HMAC block of 64 bytes (Python hashlib.pbkdf2_hmac, see Pattern), and
        // an empty password and salt.
        {Pattern(63), "salt", 2, "307379da232e90487bedf58acef739c0f63288fc0f5a379f5f"},
        {Pattern(64), "salt", 2, "f2687a68c62a2163c434e4508c61da56f14899439f5e68ebd9"},
        {Pattern(65), "salt", 2, "c03d0c6c90a3f4e14800bdb0f75fe5b13f1b69ce87311841ba"},
        {"", "", 1, "1e437a1c79d75be61e91141dae20affc4892cc99"}, {"p", "s", 1, ""}};
    // clang-format on
    for (const auto& [password, salt, iterations, key] : cases) {
        const Derived d = Derive(password, salt, iterations, strlen(key) / 2);
        EXPECT_EQ(std::pair(d.Answer, d.Key), std::pair(0, std::string(key)))
            << password.size() << " " << iterations;
    }
}

TEST(HmacTest, Pbkdf2ParameterErrorsZeroTheKey) {
    uint8_t a[21];
    const std::tuple<const char*, const char*, uint8_t*, uint32_t> cases[] = {
        {nullptr, "s", a, 1}, {"p", nullptr, a, 1}, {"p", "s", nullptr, 1}, {"p", "s", a, 0}};
    for (const auto& [password, salt, out, iterations] : cases) {
        memset(a, 0xEE, sizeof(a));
        EXPECT_EQ(HMACSHA1_DeriveKey(password, 1, salt, 1, iterations, out, 20), HMAC_DERIVE_PARAM_ERROR);
        EXPECT_EQ(ToHex(a, 21), (out ? std::string(40, '0') : std::string(40, 'e')) + "ee") << iterations;
    }
}

} // namespace
