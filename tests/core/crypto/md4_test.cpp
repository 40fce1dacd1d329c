#include "core/crypto/md4.h"

#include <gtest/gtest.h>

#include "tests/core/crypto/digest_vectors.h"

namespace {

TEST(Md4Test, Rfc1320TestSuite) {
    ExpectKnownAnswers(&MD4_INTERFACE, {{"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
                                        {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
                                        {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
                                        {"message digest", "d9130a8164549fe818874806e1c7014b"},
                                        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
                                        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                                         "043f8582f241db351ce627e153e7f0e4"},
                                        {Repeat("1234567890", 8), "e33b4ddc9c38f2199c3e7b164fcc0536"}});
    // Around the length field (OpenSSL's legacy-provider MD4, see Pattern).
    ExpectKnownAnswers(&MD4_INTERFACE, {{Pattern(55), "f110267076a681063d6517cda2590dab"},
                                        {Pattern(56), "f13dab0f5af3d2bde59abf4b49529aad"},
                                        {Pattern(119), "b23c8269b46038ee9481ac0b479c4a8f"},
                                        {Pattern(120), "d5ebb64135afbb4e1f8ba2298491933e"}});
    ExpectMillionInChunks(&MD4_INTERFACE, "bbce80cc6bb65e5c6745e30d4eeca9a4");
}

TEST(Md4Test, BitCountCarriesIntoTheHighWord) {
    ExpectBitCountCarries<MD4>(&MD4_INTERFACE);
}

} // namespace
