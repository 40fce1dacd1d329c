// Server texts of web credentials: host and port, and the texts that name no server.
#include "core/platform/web_credential.h"

#include <gtest/gtest.h>

#include <string>

TEST(WebCredential, ParseServer) {
    const struct {
        const char* server;
        int64_t ok;
        const char* host;
        int32_t port;
    } cases[] = {
        {"example.org", 1, "example.org", 80},
        {"example.org:8080", 1, "example.org", 8080},
        {"[::1]:8080", 1, "::1", 8080},
        {"[fe80::2]", 1, "fe80::2", 80},
        {"::1", 1, "::1", 80},
        {"10.0.0.1:65535", 1, "10.0.0.1", 65535},
        {"host:", 0, "", 0},
        {"host:0", 0, "", 0},
        {"host:65536", 0, "", 0},
        {"host:80x", 0, "", 0},
        {"host:-1", 0, "", 0},
        {":8080", 0, "", 0},
        {"", 0, "", 0},
        {"[::1", 0, "", 0},
        {"[::1]x", 0, "", 0},
        {"[]:80", 0, "", 0},
    };
    for (const auto& c : cases) {
        char host[WEBCREDENTIAL_HOST_SIZE] = "junk";
        int32_t port = -5;
        EXPECT_EQ(WebCredential_ParseServer(c.server, host, sizeof host, &port), c.ok) << c.server;
        EXPECT_STREQ(host, c.host) << c.server;
        EXPECT_EQ(port, c.port) << c.server;
    }
}

TEST(WebCredential, HostThatDoesNotFitIsRefused) {
    char host[WEBCREDENTIAL_HOST_SIZE];
    int32_t port = 0;
    const std::string fits(WEBCREDENTIAL_HOST_SIZE - 1, 'a'), over(WEBCREDENTIAL_HOST_SIZE, 'a');
    EXPECT_EQ(WebCredential_ParseServer((fits + ":81").c_str(), host, sizeof host, &port), 1);
    EXPECT_EQ(port, 81);
    EXPECT_EQ(WebCredential_ParseServer((over + ":81").c_str(), host, sizeof host, &port), 0);
    EXPECT_STREQ(host, "");
}

TEST(WebCredential, Protocols) {
    const char* names[2];
    EXPECT_EQ(WebCredential_StoreProtocols(0, names), 2);
    EXPECT_EQ(std::string(names[0]) + "," + names[1], "http,https");
    EXPECT_EQ(WebCredential_StoreProtocols(1, names), 2);
    EXPECT_EQ(std::string(names[0]) + "," + names[1], "http-proxy,https-proxy");
    EXPECT_EQ(WebCredential_StoreProtocols(6, names), 0);
    const char* lookups[] = {"http", "http-proxy", "http", "https", "http-proxy", "https-proxy"};
    for (uint32_t type = 0; type < 6; type++) EXPECT_STREQ(WebCredential_LookupProtocol(type), lookups[type]);
    EXPECT_EQ(WebCredential_LookupProtocol(6), nullptr);
}
