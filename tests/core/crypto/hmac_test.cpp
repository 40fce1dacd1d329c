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
#include "tests/support/abort_hook.h"

namespace {

std::string Hmac(const HashInterface* record, const std::string& key, const std::string& data) {
    char text[160] = {};
    int64_t answer = HMAC_QuickString(record, data.data(), (uint32_t)data.size(), key.data(),
                                      (uint32_t)key.size(), 0, text, sizeof(text));
    return answer == 1 ? std::string(text) : "failed";
}

struct HmacCase {
    std::string Key;
    std::string Data;
    const char* Mac;
};

const std::string kTruncationKey(20, '\x0c');
const std::string kLongKey80(80, '\xaa');
const std::string kLongKey131(131, '\xaa');
const char* const kHashKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";

TEST(HmacTest, Rfc2202Md5AndSha1) {
    const HmacCase md5[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
         "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {kLongKey80, kHashKeyFirst, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {kLongKey80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
    };
    for (const HmacCase& c : md5) EXPECT_EQ(Hmac(&MD5_INTERFACE, c.Key, c.Data), c.Mac) << c.Data;
    const HmacCase sha1[] = {
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {kTruncationKey, "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {kLongKey80, kHashKeyFirst, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {kLongKey80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const HmacCase& c : sha1) EXPECT_EQ(Hmac(&SHA1_INTERFACE, c.Key, c.Data), c.Mac) << c.Data;
}

TEST(HmacTest, Rfc4231Sha2) {
    const std::string bigData =
        "This is a test using a larger than block-size key and a larger than block-size data. "
        "The key needs to be hashed before being used by the HMAC algorithm.";
    struct Case {
        std::string Key;
        std::string Data;
        const char* Sha224;
        const char* Sha256;
        const char* Sha384;
        const char* Sha512;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There", "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9"
         "d914eeb61f1"
         "702e696c203a126854"},
        {"Jefe", "what do ya want for nothing?", "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843",
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcae"
         "ab1a34d4a6b"
         "4b636e070a38bce737"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "7fb3cb3588c6c1f6ffa9694d7d6ad2649365b0c1f65d69d1ec8333ea",
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe",
         "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27",
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39bf3e848279a722c806b485a47e67c807b94"
         "6a337bee894"
         "2674278859e13292fb"},
        {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
         "6c11506874013cac6a2abc1bb382627cec6a90d86efc012de7afec5a",
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b",
         "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb",
         "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3dba91ca5c11aa25eb4d679275cc5788063a5f"
         "19741120c4f"
         "2de2adebeb10a298dd"},
        {kLongKey131, kHashKeyFirst, "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54",
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e"
         "64f73f63f0a"
         "ec8b915a985d786598"},
        {kLongKey131, bigData, "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2",
         "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e",
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944b6022cac3c4982b10d5eeb55c3e4de15134"
         "676fb6de044"
         "6065c97440fa8c6a58"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hmac(&SHA224_INTERFACE, c.Key, c.Data), c.Sha224) << c.Data;
        EXPECT_EQ(Hmac(&SHA256_INTERFACE, c.Key, c.Data), c.Sha256) << c.Data;
        EXPECT_EQ(Hmac(&SHA384_INTERFACE, c.Key, c.Data), c.Sha384) << c.Data;
        EXPECT_EQ(Hmac(&SHA512_INTERFACE, c.Key, c.Data), c.Sha512) << c.Data;
    }
    // Test case 5 keeps only the first 128 bits: read the whole value and compare its start.
    const std::string key(20, '\x0c');
    EXPECT_EQ(Hmac(&SHA256_INTERFACE, key, "Test With Truncation").substr(0, 32),
              "a3b6167473100ee06e0c796c2955552b");
    EXPECT_EQ(Hmac(&SHA512_INTERFACE, key, "Test With Truncation").substr(0, 32),
              "415fad6271580a531d4179bc891d87a6");
}

TEST(HmacTest, PublishedVectorFiles) {
    const std::string root = VectorRoot();
    if (root.empty()) GTEST_SKIP() << "digest vectors are not installed";
    const struct {
        const char* File;
        const HashInterface* Record;
    } files[] = {
        {"rfc-2202-md5.txt", &MD5_INTERFACE},       {"rfc-2202-sha1.txt", &SHA1_INTERFACE},
        {"rfc-4231-sha224.txt", &SHA224_INTERFACE}, {"rfc-4231-sha256.txt", &SHA256_INTERFACE},
        {"rfc-4231-sha384.txt", &SHA384_INTERFACE}, {"rfc-4231-sha512.txt", &SHA512_INTERFACE},
    };
    for (const auto& f : files) {
        int32_t checked = 0;
        for (const VectorRecord& r : ReadVectors(root + "/HMAC/" + f.File)) {
            if (!r.count("Key") || !r.count("Msg") || !r.count("MD")) continue;
            EXPECT_EQ(Hmac(f.Record, FromHex(r.at("Key")), FromHex(r.at("Msg"))), r.at("MD")) << f.File;
            checked++;
        }
        EXPECT_GE(checked, 6) << f.File;
    }
}

TEST(HmacTest, KeyAtAndPastTheBlockSize) {
    std::string key64, key65;
    for (int i = 0; i < 64; i++) key64 += (char)i;
    key65 = key64 + (char)64;
    EXPECT_EQ(Hmac(&SHA256_INTERFACE, key64, "message"),
              "eb97f15211c02e38e3213edb045e8301601867c1cd49df01c687eb04f8909e98");
    EXPECT_EQ(Hmac(&SHA256_INTERFACE, key65, "message"),
              "2d55f05a56fff8d5ba47a50eb1c006240377002f70e09d8862f8a5cb1c880e4a");
    // A key of 65 bytes is used as its digest.
    uint8_t hashed[32];
    Hash_QuickDigest(&SHA256_INTERFACE, key65.data(), 65, hashed, 32);
    EXPECT_EQ(Hmac(&SHA256_INTERFACE, std::string((const char*)hashed, 32), "message"),
              Hmac(&SHA256_INTERFACE, key65, "message"));

    // The same keys given in pieces (1, 63 and 1 bytes; and other splits) give the same values.
    const std::vector<std::vector<int32_t>> splits = {{1, 63, 1}, {64, 1},     {1, 64},
                                                      {0, 65},    {30, 30, 5}, {65}};
    for (const std::vector<int32_t>& split : splits) {
        for (const std::string* key : {&key64, &key65}) {
            HMAC* h = nullptr;
            HMAC_Create(&h);
            EXPECT_EQ(HMAC_SetHashInterface(h, &SHA256_INTERFACE), 1);
            int32_t done = 0;
            for (int32_t n : split) {
                n = std::min<int32_t>(n, (int32_t)key->size() - done);
                EXPECT_EQ(HMAC_SetKey(h, key->data() + done, n), 1);
                done += n;
            }
            EXPECT_EQ(HMAC_Process(h, "mess", 4), 1);
            EXPECT_EQ(HMAC_Process(h, "age", 3), 1);
            EXPECT_EQ(HMAC_Generate(h), 1);
            char text[65];
            EXPECT_EQ(HMAC_GetString(h, 0, text, sizeof(text)), 1);
            EXPECT_EQ(std::string(text), Hmac(&SHA256_INTERFACE, *key, "message"))
                << split.size() << " " << key->size();
            HMAC_Delete(&h);
        }
    }
}

TEST(HmacTest, ObjectLifecycle) {
    HMAC* h = nullptr;
    ASSERT_EQ(HMAC_Create(&h), 1);
    EXPECT_EQ(h->Header.ClassId, HMAC_CLASS_ID);
    EXPECT_EQ(h->Header.RefCount, 1u);
    EXPECT_EQ(h->BlockSize, 0);
    ASSERT_NE(h->Inner, nullptr);

    // Unbound: nothing is accepted.
    uint8_t out[64];
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(HMAC_SetKey(h, "key", 3), 0);
    EXPECT_EQ(HMAC_Process(h, "abc", 3), 0);
    EXPECT_EQ(HMAC_Generate(h), 0);
    EXPECT_EQ(HMAC_GetDigest(h, out, 64), 0);
    char text[8] = "zz";
    EXPECT_EQ(HMAC_GetString(h, 0, text, 8), 0);
    EXPECT_STREQ(text, "zz");
    EXPECT_EQ(HMAC_SetHashInterface(h, nullptr), 1);

    EXPECT_EQ(HMAC_SetHashInterface(h, &SHA256_INTERFACE), 1);
    EXPECT_EQ(h->BlockSize, 64);
    EXPECT_EQ(h->KeyLength, 0);
    // Generating without processing gives the HMAC of the empty message.
    EXPECT_EQ(HMAC_SetKey(h, "key", 3), 1);
    EXPECT_EQ(HMAC_Generate(h), 1);
    char hex[65];
    EXPECT_EQ(HMAC_GetString(h, 0, hex, sizeof(hex)), 1);
    EXPECT_STREQ(hex, "5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0");
    EXPECT_EQ(Hmac(&SHA256_INTERFACE, "key", ""),
              "5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0");

    // Binding the same record again forgets the key: the HMAC with an empty key.
    EXPECT_EQ(HMAC_SetHashInterface(h, &SHA256_INTERFACE), 1);
    EXPECT_EQ(h->KeyLength, 0);
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(HMAC_Process(h, fox.data(), (uint32_t)fox.size()), 1);
    EXPECT_EQ(h->KeyLength, -1);
    // Once processing has begun, key bytes are refused and the running state stays.
    EXPECT_EQ(HMAC_SetKey(h, "late", 4), 0);
    EXPECT_EQ(HMAC_Process(h, nullptr, 0), 1);
    EXPECT_EQ(HMAC_Generate(h), 1);
    EXPECT_EQ(HMAC_GetString(h, 0, hex, sizeof(hex)), 1);
    EXPECT_STREQ(hex, "fb011e6154a19b9a4c767373c305275a5a69e8b68b0b4c9200c383dced19a416");

    // Reset forgets the key; a new message with the same key gives the same value as one call.
    EXPECT_EQ(HMAC_Reset(h), 1);
    EXPECT_EQ(h->KeyLength, 0);
    EXPECT_EQ(HMAC_SetKey(h, "secret", 6), 1);
    EXPECT_EQ(HMAC_Process(h, "text", 4), 1);
    EXPECT_EQ(HMAC_Generate(h), 1);
    EXPECT_EQ(HMAC_GetDigest(h, out, 32), 1);
    EXPECT_EQ(ToHex(out, 32), Hmac(&SHA256_INTERFACE, "secret", "text"));

    // Rebinding to another record reallocates the key block and digest buffer.
    EXPECT_EQ(HMAC_SetHashInterface(h, &SHA512_INTERFACE), 1);
    EXPECT_EQ(h->BlockSize, 128);
    EXPECT_EQ(HMAC_SetKey(h, "secret", 6), 1);
    EXPECT_EQ(HMAC_Process(h, "text", 4), 1);
    EXPECT_EQ(HMAC_Generate(h), 1);
    char long_hex[129];
    EXPECT_EQ(HMAC_GetString(h, 0, long_hex, sizeof(long_hex)), 1);
    EXPECT_EQ(std::string(long_hex), Hmac(&SHA512_INTERFACE, "secret", "text"));

    EXPECT_EQ(HMAC_SetKey(h, "k", -1), 0);
    EXPECT_EQ(HMAC_AddRef(h), 1);
    HMAC* other = h;
    EXPECT_EQ(HMAC_Release(&other), 1);
    EXPECT_EQ(other, nullptr);
    char id[64];
    EXPECT_EQ(HMAC_GetInstanceId(h, id, sizeof(id)), 1);
    EXPECT_EQ(HMAC_Release(&h), 1);
    EXPECT_EQ(h, nullptr);
}

TEST(HmacTest, ShortBuffersAreRefused) {
    // The value does not fit: the answer is 0 and the buffer is left as it was, for every record.
    uint8_t out[64];
    for (const HashInterface* record :
         {&MD5_INTERFACE, &SHA1_INTERFACE, &SHA256_INTERFACE, &SHA512_INTERFACE}) {
        memset(out, 0xEE, sizeof(out));
        EXPECT_EQ(HMAC_QuickDigest(record, "data", 4, "key", 3, out, record->DigestSize - 1), 0)
            << record->Name;
        EXPECT_EQ(out[0], 0xEE) << record->Name;
        EXPECT_EQ(HMAC_QuickDigest(record, "data", 4, "key", 3, out, record->DigestSize), 1) << record->Name;
        EXPECT_EQ(ToHex(out, record->DigestSize), Hmac(record, "key", "data")) << record->Name;
    }
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(HMAC_QuickDigest(&SHA256_INTERFACE, "data", 4, "key", 3, out, 16), 0);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[15], 0xEE);

    HMAC* h = nullptr;
    HMAC_Create(&h);
    HMAC_SetHashInterface(h, &SHA1_INTERFACE);
    HMAC_SetKey(h, "key", 3);
    HMAC_Process(h, "data", 4);
    HMAC_Generate(h);
    EXPECT_EQ(HMAC_GetDigest(h, out, 19), 0);
    EXPECT_EQ(out[0], 0xEE);
    // Text cut short answers 0 too.
    char text[41];
    EXPECT_EQ(HMAC_GetString(h, 0, text, 20), 0);
    EXPECT_EQ(std::string(text), Hmac(&SHA1_INTERFACE, "key", "data").substr(0, 19));
    EXPECT_EQ(HMAC_GetString(h, 0, text, 41), 1);
    HMAC_Delete(&h);

    // An unbound record in the one-call forms.
    char quick[65] = "untouched";
    EXPECT_EQ(HMAC_QuickString(nullptr, "data", 4, "key", 3, 0, quick, sizeof(quick)), 0);
    EXPECT_STREQ(quick, "");
    EXPECT_EQ(HMAC_QuickDigest(nullptr, "data", 4, "key", 3, out, sizeof(out)), 0);
}

TEST(HmacTest, CopyRunningHmac) {
    HMAC* a = nullptr;
    HMAC* b = nullptr;
    HMAC_Create(&a);
    HMAC_Create(&b);
    HMAC_SetHashInterface(a, &SHA256_INTERFACE);
    HMAC_SetHashInterface(b, &MD5_INTERFACE);
    // A copy made while the key is still arriving, and one made mid-message.
    HMAC_SetKey(a, "sec", 3);
    EXPECT_EQ(HMAC_CopyTo(a, b), 1);
    EXPECT_EQ(b->BlockSize, 64);
    HMAC_SetKey(a, "ret", 3);
    HMAC_SetKey(b, "ret", 3);
    HMAC_Process(a, "first half ", 11);
    HMAC* c = nullptr;
    HMAC_Create(&c);
    EXPECT_EQ(HMAC_CopyTo(a, c), 1);
    HMAC_Process(b, "first half ", 11);
    for (HMAC* h : {a, b, c}) {
        HMAC_Process(h, "second half", 11);
        HMAC_Generate(h);
        char text[65];
        EXPECT_EQ(HMAC_GetString(h, 0, text, sizeof(text)), 1);
        EXPECT_EQ(std::string(text), Hmac(&SHA256_INTERFACE, "secret", "first half second half"));
    }
    // A copy from an unbound object unbinds the target.
    HMAC* unbound = nullptr;
    HMAC_Create(&unbound);
    EXPECT_EQ(HMAC_CopyTo(unbound, c), 1);
    EXPECT_EQ(c->BlockSize, 0);
    EXPECT_EQ(c->KeyBlock, nullptr);
    HMAC_Delete(&unbound);
    HMAC_Delete(&a);
    HMAC_Delete(&b);
    HMAC_Delete(&c);
}

TEST(HmacTest, ExpandKey) {
    struct Case {
        const char* Key;
        const char* Argument;
        int64_t Answer;
        std::string Expansion;
        std::string ArgumentAfter;
    } cases[] = {
        // The whole text after the key's comma is hashed, commas included.
        {"HMACSHA256", "secret,one,two,three", 1, Hmac(&SHA256_INTERFACE, "secret", "one,two,three"),
         std::string("secret\0one,two,three", 20)},
        {"hmacmd5", "secret,text", 1, Hmac(&MD5_INTERFACE, "secret", "text"),
         std::string("secret\0text", 11)},
        {"HMACSha512", ",", 1, Hmac(&SHA512_INTERFACE, "", ""), std::string("\0", 1)},
        {"HMAC", "SHA1,key,a,b", 1, Hmac(&SHA1_INTERFACE, "key", "a,b"), std::string("SHA1\0key\0a,b", 12)},
        {"Hmac", "crc,key,text", 1, Hmac(&CRC_INTERFACE, "key", "text"), std::string("crc\0key\0text", 12)},
        // Only one comma after the bare key name: nothing.
        {"HMAC", "SHA1,key", 1, "", std::string("SHA1\0key", 8)},
        {"HMAC", "SHA1", 1, "", "SHA1"},
        {"HMACSHA1", "keyonly", 1, "", "keyonly"},
        {"HMACSHA3", "key,text", 1, "", "key,text"},
        {"HMAC", "Whirlpool,key,text", 1, "", std::string("Whirlpool\0key,text", 18)},
        {"HMACSHA256", nullptr, 0, "", ""},
        {"HMAC", nullptr, 0, "", ""},
        {"HMA", "SHA1,key,text", 0, "", "SHA1,key,text"},
        {"MD5", "abc", 0, "", "abc"},
    };
    for (const Case& c : cases) {
        char argument[64];
        memset(argument, 0, sizeof(argument));
        if (c.Argument) strcpy(argument, c.Argument);
        char out[160] = {};
        EXPECT_EQ(HMAC_ExpandKey(nullptr, c.Key, c.Argument ? argument : nullptr, out, sizeof(out)), c.Answer)
            << c.Key << " " << (c.Argument ? c.Argument : "(none)");
        EXPECT_EQ(std::string(out), c.Expansion) << c.Key << " " << (c.Argument ? c.Argument : "(none)");
        if (c.Argument) {
            EXPECT_EQ(std::string(argument, c.ArgumentAfter.size()), c.ArgumentAfter)
                << c.Key << " " << c.Argument;
        }
    }
}

TEST(HmacTest, Rfc6070Pbkdf2Sha1) {
    struct Case {
        std::string Password;
        std::string Salt;
        uint32_t Iterations;
        const char* Key;
    } cases[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"password", "salt", 16777216, "eefe3d61cd4da4e4e9945b3d6ba2158c2634e984"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    for (const Case& c : cases) {
        const size_t length = strlen(c.Key) / 2;
        std::vector<uint8_t> out(length + 1, 0xEE);
        EXPECT_EQ(HMACSHA1_DeriveKey(c.Password.data(), (uint32_t)c.Password.size(), c.Salt.data(),
                                     (uint32_t)c.Salt.size(), c.Iterations, out.data(), (uint16_t)length),
                  0);
        EXPECT_EQ(ToHex(out.data(), length), c.Key) << c.Iterations;
        EXPECT_EQ(out[length], 0xEE);
    }
}

TEST(HmacTest, Pbkdf2EdgesAndVectorFile) {
    // A password longer than the block is hashed first, as HMAC does.
    const std::string longPassword(100, 'p');
    uint8_t a[40], b[40];
    EXPECT_EQ(HMACSHA1_DeriveKey(longPassword.data(), 100, "salt", 4, 3, a, sizeof(a)), 0);
    uint8_t hashed[20];
    Hash_QuickDigest(&SHA1_INTERFACE, longPassword.data(), 100, hashed, 20);
    EXPECT_EQ(HMACSHA1_DeriveKey(hashed, 20, "salt", 4, 3, b, sizeof(b)), 0);
    EXPECT_EQ(memcmp(a, b, sizeof(a)), 0);
    // Empty password and salt are valid input; an output of 0 bytes too.
    EXPECT_EQ(HMACSHA1_DeriveKey("", 0, "", 0, 1, a, 20), 0);
    EXPECT_EQ(ToHex(a, 20), "1e437a1c79d75be61e91141dae20affc4892cc99");
    EXPECT_EQ(HMACSHA1_DeriveKey("p", 1, "s", 1, 1, a, 0), 0);
    // Missing pieces and an iteration count of 0 are parameter errors; the key is zeroed.
    memset(a, 0xEE, sizeof(a));
    EXPECT_EQ(HMACSHA1_DeriveKey(nullptr, 0, "s", 1, 1, a, 20), HMAC_DERIVE_PARAM_ERROR);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(a[20], 0xEE);
    EXPECT_EQ(HMACSHA1_DeriveKey("p", 1, nullptr, 0, 1, a, 20), HMAC_DERIVE_PARAM_ERROR);
    EXPECT_EQ(HMACSHA1_DeriveKey("p", 1, "s", 1, 1, nullptr, 20), HMAC_DERIVE_PARAM_ERROR);
    EXPECT_EQ(HMACSHA1_DeriveKey("p", 1, "s", 1, 0, a, 20), HMAC_DERIVE_PARAM_ERROR);

    const std::string root = VectorRoot();
    if (root.empty()) GTEST_SKIP() << "digest vectors are not installed";
    int32_t checked = 0;
    for (const VectorRecord& r : ReadVectors(root + "/KDF/rfc-6070-PBKDF2-SHA1.txt")) {
        if (!r.count("PASSWORD") || !r.count("DERIVED_KEY")) continue;
        const uint32_t iterations = (uint32_t)std::stoul(r.at("ITERATIONS"));
        // The case of 2^24 iterations already runs among the RFC 6070 vectors above.
        if (iterations >= (1u << 24)) continue;
        const uint16_t length = (uint16_t)std::stoul(r.at("LENGTH"));
        std::vector<uint8_t> out(length);
        // The file writes a NUL inside a password or salt as the two characters \0.
        auto unescape = [](std::string text) {
            for (size_t at; (at = text.find("\\0")) != std::string::npos;) text.replace(at, 2, 1, '\0');
            return text;
        };
        const std::string password = unescape(r.at("PASSWORD"));
        const std::string salt = unescape(r.at("SALT"));
        EXPECT_EQ(HMACSHA1_DeriveKey(password.data(), (uint32_t)password.size(), salt.data(),
                                     (uint32_t)salt.size(), iterations, out.data(), length),
                  0);
        EXPECT_EQ(ToHex(out.data(), length), r.at("DERIVED_KEY")) << r.at("COUNT");
        checked++;
    }
    EXPECT_GE(checked, 4);
}

} // namespace
