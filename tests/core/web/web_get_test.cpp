// The web client's default trust store: the one set, else the authentication service's "app".
#include <gtest/gtest.h>

#include "core/certs/authenticate.h"
#include "core/net/tls1_internal.h"
#include "core/web/web_get.h"

namespace {

TEST(WebGetCertStore, DefaultIsTheStoreSetElseApp) {
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    CertStoreInterface* null = Authenticate_CertStoreGet("null");

    CertStoreInterface* got = WebGet_CertStoreGetDefaultHandle();
    EXPECT_EQ(got, app);
    CertStoreInterface_Release(&got);

    WebGet_CertStoreSetDefaultHandle(null);
    got = WebGet_CertStoreGetDefaultHandle();
    EXPECT_EQ(got, null);
    CertStoreInterface_Release(&got);
    // A new connection holds a reference of its own to the default store.
    TLS1* tls = nullptr;
    TLS1_Create(&tls);
    EXPECT_EQ(tls->CertStore, null);
    TLS1_Release(&tls);

    WebGet_CertStoreSetDefaultHandle(nullptr);
    Authenticate_Remove();
    // Only our own references are left: the default let go of its one.
    EXPECT_EQ(Class_HasOneRef(null), 1);
    CertStoreInterface_Release(&null);
    CertStoreInterface_Release(&app);
}

} // namespace
