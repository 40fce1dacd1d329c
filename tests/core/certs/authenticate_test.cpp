// Tests of the authentication service: the switch and its override, the named stores and their
// references, the certificate checks against them and the signature check by file kind.
#include "core/certs/authenticate.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/memory.h"
#include "tests/core/certs/macho_fixture.h"
#include "tests/core/certs/pe_image_fixture.h"
#include "tests/core/certs/pkg_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

namespace {

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

uint32_t AnswerZero() {
    return 0;
}

class AuthenticateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TakeLog();
        Memory_GetCount(&allocations);
    }
    void TearDown() override {
        Authenticate_Remove();
        Authenticate_SetEnabled(1);
        Authenticate_EnabledOverride(nullptr);
        uint32_t now = 0;
        Memory_GetCount(&now);
        EXPECT_EQ(now, allocations) << "every store freed";
    }
    uint32_t allocations = 0;
};

TEST_F(AuthenticateTest, OverrideAnswersInPlaceOfTheFlag) {
    EXPECT_EQ(Authenticate_Enabled(), 1u);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_SetEnabled(1);
    Authenticate_EnabledOverride(AnswerZero);
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    Authenticate_EnabledOverride(nullptr);
    EXPECT_EQ(Authenticate_Enabled(), 1u);
}

TEST_F(AuthenticateTest, InitTurnsTheSwitchOnOnce) {
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Init(), 1);
    EXPECT_EQ(Authenticate_Enabled(), 1u);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Init(), 0) << "a second start changes nothing";
    EXPECT_EQ(Authenticate_Enabled(), 0u);
    EXPECT_EQ(Authenticate_Remove(), 1);
    EXPECT_EQ(Authenticate_Remove(), 1) << "also when nothing is left";
}

TEST_F(AuthenticateTest, NamedStoresAreSharedAndCounted) {
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    CertStoreInterface* upper = Authenticate_CertStoreGet("APP");
    CertStoreInterface* null = Authenticate_CertStoreGet("Null");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app, upper) << "names are compared without case";
    EXPECT_NE(app, null);
    EXPECT_EQ(TakeLog().find("Unable to find certificate store"), std::string::npos);

    // A handle outlives the service that gave it; the last release frees the store (TearDown
    // counts the memory).
    Authenticate_Remove();
    EXPECT_EQ(Class_HasOneRef(app), 0);
    EXPECT_EQ(CertStoreInterface_AddRef(app), app);
    EXPECT_EQ(CertStoreInterface_Release(&upper), 1);
    EXPECT_EQ(upper, nullptr);
    CertStoreInterface* again = app;
    EXPECT_EQ(CertStoreInterface_Release(&app), 1);
    EXPECT_EQ(Class_HasOneRef(again), 1);
    CertStoreInterface_Release(&again);
    EXPECT_EQ(Class_HasOneRef(null), 1);
    EXPECT_EQ(Authenticate_CertStoreRelease(&null), 1);
    EXPECT_EQ(null, nullptr);
    EXPECT_EQ(Authenticate_CertStoreRelease(&null), 1) << "a null handle is accepted";
    EXPECT_EQ(CertStoreInterface_Release(&null), 0);
}

TEST_F(AuthenticateTest, UnknownNameGivesAFreshNullStore) {
    // started, getter, name, log line expected
    using Getter = CertStoreInterface* (*)(const char*);
    const std::tuple<bool, Getter, const char*, const char*> cases[] = {
        {true, Authenticate_CertStoreGet, "no such store", "Unable to find certificate store (no such store)\n"},
        {false, Authenticate_CertStoreGet, "app", "Unable to find certificate store (app)\n"},
        {true, Authenticate_KeyStoreGet, "app", "Unable to find key store (app)\n"},
    };
    for (const auto& [started, get, name, line] : cases) {
        TakeLog();
        if (started) Authenticate_Init();
        CertStoreInterface* first = get(name);
        CertStoreInterface* second = get(name);
        ASSERT_NE(first, nullptr) << name;
        EXPECT_NE(first, second) << name << ": each caller gets a store of its own";
        EXPECT_NE(TakeLog().find(line), std::string::npos) << line;
        EXPECT_EQ(Class_HasOneRef(first), 1);
        uint32_t stop = 0;
        EXPECT_EQ(CertStoreInterface_X509IsTrusted(first, nullptr, &stop), 0) << "trusts nothing";
        CertStoreInterface_Release(&first);
        Authenticate_KeyStoreRelease(&second);
        Authenticate_Remove();
    }
}

TEST_F(AuthenticateTest, FixedStoresStayAndOthersComeAndGo) {
    EXPECT_EQ(Authenticate_GetCertStoreTableHandle(), nullptr);
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreTable* table = Authenticate_GetCertStoreTableHandle();
    CertStoreInterface* extra = Authenticate_CertStoreGet("null");
    const std::tuple<const char*, int64_t, int64_t> cases[] = {
        // name, Add answer, Remove answer
        {"platform", 0, 0}, {"APP", 0, 0}, {"null", 0, 0}, {"mine", 1, 1}};
    for (const auto& [name, added, removed] : cases) {
        EXPECT_EQ(CertStoreTable_Add(table, name, 1, extra), added) << name;
        EXPECT_EQ(CertStoreTable_Remove(table, name), removed) << name;
    }
    CertStoreTable* keys = Authenticate_GetKeyStoreTableHandle();
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(CertStoreTable_Add(keys, "signing", 1, extra), 1);
    CertStoreInterface* key = Authenticate_KeyStoreGet("SIGNING");
    EXPECT_EQ(key, extra);
    EXPECT_EQ(TakeLog().find("Unable to find"), std::string::npos);
    CertStoreInterface_Release(&key);
    CertStoreInterface_Release(&extra);
}

// Reads a PEM file of the system bundle as DER (the body between the armour lines).
std::string SystemRootDer() {
    auto der = RunOracle("openssl x509 -in /etc/ssl/certs/ISRG_Root_X1.pem -outform DER | od -An -v -tx1", "");
    std::string bytes;
    if (!der) return bytes;
    for (size_t i = 0; i + 1 < der->size(); i++)
        if (isxdigit((unsigned char)(*der)[i]) && isxdigit((unsigned char)(*der)[i + 1])) {
            bytes += char(std::stoi(der->substr(i, 2), nullptr, 16));
            i++;
        }
    return bytes;
}

TEST_F(AuthenticateTest, CertificateChecksAgainstNamedStores) {
    TempDir dir;
    const std::string der = SystemRootDer();
    ASSERT_FALSE(der.empty()) << "openssl";
    // The system bundle is read once per process and kept: read it before memory is counted.
    Authenticate_Init();
    {
        CertStoreInterface* platform = Authenticate_CertStoreGet("platform");
        Authenticate_ValidateX509MemoryInt(platform, reinterpret_cast<const uint8_t*>(der.data()), (uint32_t)der.size());
        CertStoreInterface_Release(&platform);
    }
    Authenticate_Remove();
    Memory_GetCount(&allocations);
    const std::string root = dir.file("root.der"), empty = dir.file("empty.der"), junk = dir.file("junk.der");
    ASSERT_TRUE(WriteText(root, der) && WriteText(empty, "") && WriteText(junk, "not a certificate"));
    ASSERT_EQ(Authenticate_Init(), 1);
    const std::string missing = dir.file("missing");
    const std::string failed = "Ceritificate file validation (%s) failed\n";
    auto line = [](std::string format, const std::string& path) {
        return format.replace(format.find("%s"), 2, path);
    };
    // store name, path, answer, log lines expected
    const std::tuple<const char*, std::string, int64_t, std::vector<std::string>> cases[] = {
        {"app", root, 1, {}},
        {"platform", root, 1, {}},
        {"null", root, 0, {line(failed, root)}},
        {"app", junk, 0, {line(failed, junk)}},
        {"app", missing, 0, {line(failed, missing)}},
        {"app", empty, 0, {"Invalid size for file [" + empty + "] (0)\n", line(failed, empty)}},
    };
    for (const auto& [store, path, answer, lines] : cases) {
        TakeLog();
        EXPECT_EQ(Authenticate_ValidateX509Interop(store, path.c_str()), answer) << store << " " << path;
        const std::string log = TakeLog();
        for (const std::string& expected : lines) EXPECT_NE(log.find(expected), std::string::npos) << expected;
        if (lines.empty()) {
            EXPECT_EQ(log.find("failed"), std::string::npos) << log;
        }
    }

    CertStoreInterface* null = Authenticate_CertStoreGet("null");
    const auto* bytes = reinterpret_cast<const uint8_t*>(der.data());
    EXPECT_EQ(Authenticate_ValidateX509Memory(null, bytes, (uint32_t)der.size()), 0);
    EXPECT_NE(TakeLog().find("Certificate memory validation (0x"), std::string::npos);
    EXPECT_EQ(Authenticate_ValidateX509MemoryInt(null, bytes, 0), 0);
    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_ValidateX509MemoryInt(null, bytes, 1), 0) << "the switch is not asked";
    EXPECT_EQ(Authenticate_ValidateX509Memory(null, bytes, 1), 1);
    EXPECT_EQ(Authenticate_ValidateX509(null, missing.c_str()), 1);
    const std::string log = TakeLog();
    EXPECT_NE(log.find("Skipping certificate in-memory authentication\n"), std::string::npos);
    EXPECT_NE(log.find(line("Skipping certificate authentication (%s)\n", missing)), std::string::npos);
    CertStoreInterface_Release(&null);
}

TEST_F(AuthenticateTest, ValidateByFileKind) {
    TempDir dir;
    const std::string text = dir.file("notes.txt"), cut = dir.file("cut");
    ASSERT_TRUE(WriteText(text, "plain text") && WriteText(cut, std::string("\x7f" "ELF\x02\x01", 6)));
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreInterface* app = Authenticate_CertStoreGet("app");
    // path, answer (an ELF program carries no signature checked on this platform)
    const std::tuple<std::string, int64_t> cases[] = {
        {"/bin/sh", 1}, {dir.path(), 0}, {text, 0}, {cut, 0}, {dir.file("missing"), 0}};
    for (const auto& [path, answer] : cases) {
        TakeLog();
        EXPECT_EQ(Authenticate_Validate(app, path.c_str()), answer) << path;
        EXPECT_EQ(Executable_IsValid(path.c_str()), answer) << path;
        EXPECT_EQ(Executable_HasCertificate(path.c_str()), 0) << path;
        EXPECT_EQ(TakeLog().find("Library validation failed (" + path + ")\n") != std::string::npos, answer == 0)
            << path;
    }

    Authenticate_SetEnabled(0);
    EXPECT_EQ(Authenticate_Validate(app, "/no/such/file"), 1) << "checking off: the file is not even read";
    EXPECT_NE(TakeLog().find("Skipping library authentication (/no/such/file)\n"), std::string::npos);

    Authenticate_SetEnabled(1);
    Authenticate_EnabledOverride(AnswerZero);
    EXPECT_EQ(Authenticate_Validate(nullptr, text.c_str()), 1) << "the override switches checks off";
    CertStoreInterface_Release(&app);
}

// Signed files of each kind pass only against a store that trusts their signer, and only while
// their bytes are the ones signed.
TEST_F(AuthenticateTest, SignedFilesAreCheckedByTheirKindsReader) {
    static CertChains certs;
    PEImages& images = PEImages::Get();
    if (!images.Ready() || !certs.Made) GTEST_SKIP() << "mingw-w64, osslsigncode or openssl missing";
    TempDir dir;
    const auto tampered = [](std::string bytes, size_t at) {
        bytes[at] ^= 0x20;
        return bytes;
    };
    const std::string pe = ReadFile(images.Signed()), thin = BuildThin(certs, {});
    const std::string universal = BuildUniversal({thin, BuildThin(certs, {false, 5000, {{0, 1, false}}, 1})});
    const std::string package = BuildPackage(certs, {});
    PkgLayout badFile;
    badFile.File = kWrongDigest;
    TrustOne peSigner(ReadFile(images.Dir() + "/cert.der")), caSigner(certs.Der("ica_rsa"));
    ASSERT_EQ(Authenticate_Init(), 1);
    CertStoreInterface* null = Authenticate_CertStoreGet("null");
    // name, bytes, store trusting the signer, answer with it, signed
    const std::tuple<const char*, std::string, CertStoreInterface*, int64_t, int64_t> cases[] = {
        {"signed.exe", pe, peSigner.Interface, 1, 1},
        {"tampered.exe", tampered(pe, 0x400), peSigner.Interface, 0, 1},
        {"unsigned.exe", ReadFile(images.Plain()), peSigner.Interface, 0, 0},
        {"thin", thin, caSigner.Interface, 1, 1},
        {"tampered-thin", tampered(thin, 200), caSigner.Interface, 0, 1},
        {"universal", universal, caSigner.Interface, 1, 1},
        {"a.pkg", package, caSigner.Interface, 1, 0},
        {"tampered.pkg", BuildPackage(certs, badFile), caSigner.Interface, 0, 0},
    };
    for (const auto& [name, bytes, trusting, answer, hasCertificate] : cases) {
        const std::string path = dir.file(name);
        ASSERT_TRUE(WriteText(path, bytes));
        EXPECT_EQ(Executable_IsValid(path.c_str()), 1) << name;
        EXPECT_EQ(Executable_HasCertificate(path.c_str()), hasCertificate) << name;
        EXPECT_EQ(Authenticate_Validate(trusting, path.c_str()), answer) << name;
        EXPECT_EQ(Authenticate_Validate(null, path.c_str()), 0) << name << " against the null store";
        EXPECT_NE(TakeLog().find("Library validation failed (" + path + ")\n"), std::string::npos) << name;
    }
    CertStoreInterface_Release(&null);
}

} // namespace
