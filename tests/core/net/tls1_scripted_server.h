// A scripted TLS server for the handshake tests: it builds the server's messages and records by
// hand (RC4-SHA protection once its ChangeCipherSpec is out), feeds them to a client TLS1 object
// and reads back what the client queued. Keys come from the client's own master secret, so no
// server-side key exchange is needed.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/certs/cert_store.h"
#include "core/certs/x509.h"
#include "core/crypto/crypt_symmetric.h"
#include "core/crypto/hmac.h"
#include "core/crypto/rc4.h"
#include "core/crypto/sha1.h"
#include "core/net/tls1_internal.h"
#include "tests/support/oracle_process.h"

using Blob = std::string;

inline Blob U8(uint32_t v) {
    return Blob(1, (char)v);
}
inline Blob U16(uint32_t v) {
    return U8(v >> 8) + U8(v);
}
inline Blob U24(uint32_t v) {
    return U8(v >> 16) + U16(v);
}
inline Blob HexBlob(const char* hex) {
    Blob out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += (char)std::stoi(std::string(hex + i, 2), nullptr, 16);
    return out;
}

inline Blob Message(uint8_t type, const Blob& body) {
    return U8(type) + U24((uint32_t)body.size()) + body;
}
inline const Blob kServerRandom = Blob(32, '\x5a');
inline Blob ServerHello(uint8_t major, uint8_t minor, uint16_t suite) {
    return Message(2, U8(major) + U8(minor) + kServerRandom + U8(0) + U16(suite) + U8(0));
}
// A ServerHello followed by the given bytes (an extensions block with its length, or anything).
inline Blob ServerHelloWith(uint8_t minor, uint16_t suite, const Blob& tail, uint8_t compression = 0) {
    return Message(2, U8(3) + U8(minor) + kServerRandom + U8(0) + U16(suite) + U8(compression) + tail);
}
// An extensions block holding renegotiation_info with the data.
inline Blob RenegotiationInfo(const Blob& data) {
    const Blob extension = U16(0xff01) + U16((uint32_t)data.size() + 1) + U8((uint32_t)data.size()) + data;
    return U16((uint32_t)extension.size()) + extension;
}
inline Blob CertificateMessage(const std::vector<Blob>& ders) {
    Blob list;
    for (const Blob& der : ders) list += U24((uint32_t)der.size()) + der;
    return Message(11, U24((uint32_t)list.size()) + list);
}
inline Blob CertificateRequest(const Blob& types, const std::vector<uint16_t>& algorithms, bool tls12) {
    Blob body = U8((uint32_t)types.size()) + types;
    if (tls12) {
        Blob list;
        for (uint16_t a : algorithms) list += U16(a);
        body += U16((uint32_t)list.size()) + list;
    }
    return Message(13, body + U16(0));
}
inline Blob ServerHelloDone() {
    return Message(14, "");
}

// P-256 and secp192k1 generators: valid peer points whose private scalar we never need.
inline const Blob kP256Point = HexBlob("046B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
                                       "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5");
inline const Blob kSecp192k1Point =
    HexBlob("04DB4FF10EC057E9AE26B07D0280B7F4341DA5D1B1EAE06C7D9B2F2F6D9C5628A7844163D0"
            "15BE86344082AA88D95E2F9D");

// A store that trusts certificates by their bytes and counts how often it is asked.
struct CountingStore {
    CertStoreInterface* Interface = nullptr;
    std::vector<Blob> Trusted;
    int Asked = 0;
    explicit CountingStore(std::vector<Blob> trusted) : Trusted(std::move(trusted)) {
        CertStoreInterface_Create(&Interface);
        CertStoreInterface_SetAddRefCallback(Interface, this, [](CertStoreInterface* h, void*) { return h; });
        CertStoreInterface_SetReleaseCallback(Interface, this, [](CertStoreInterface** h, void*) -> int64_t {
            *h = nullptr;
            return 1;
        });
        CertStoreInterface_SetX509IsTrustedCallback(
            Interface, this, [](CertStoreInterface*, void* s, X509* cert, uint32_t* stop) -> int64_t {
                auto* self = static_cast<CountingStore*>(s);
                const uint8_t* der = nullptr;
                uint32_t length = 0;
                X509_GetASN1(cert, &der, &length);
                *stop = 0;
                self->Asked++;
                for (const Blob& trusted : self->Trusted)
                    if (trusted == Blob(reinterpret_cast<const char*>(der), length)) return 1;
                return 0;
            });
        CertStoreInterface_SetX509IsTrustedJWSCallback(Interface, this,
                                                       [](CertStoreInterface*, void*, Dictionary*,
                                                          CryptAsymmetric**,
                                                          uint32_t*) -> int64_t { return 0; });
    }
    ~CountingStore() { CertStoreInterface_Delete(&Interface); }
};

// One direction of RC4-SHA record protection.
struct Rc4Direction {
    CryptSymmetric* Cipher = nullptr;
    Blob MacKey;
    uint64_t Sequence = 0;
    bool On = false;
    ~Rc4Direction() {
        if (Cipher) CryptSymmetric_Release(&Cipher);
    }
    void Start(const Blob& key, const Blob& macKey, bool encrypt) {
        if (!Cipher) CryptSymmetric_Create(&Cipher);
        CryptSymmetric_Reset(Cipher, &RC4_INTERFACE);
        if (encrypt)
            CryptSymmetric_SetEncryptKey(Cipher, key.data(), (uint32_t)key.size());
        else
            CryptSymmetric_SetDecryptKey(Cipher, key.data(), (uint32_t)key.size());
        MacKey = macKey;
        Sequence = 0;
        On = true;
    }
    Blob Mac(uint8_t type, uint8_t minor, const Blob& content) {
        Blob input;
        for (int i = 7; i >= 0; i--) input += (char)(uint8_t)(Sequence >> (8 * i));
        input += U8(type) + U8(3) + U8(minor) + U16((uint32_t)content.size()) + content;
        uint8_t mac[20];
        HMAC_QuickDigest(&SHA1_INTERFACE, input.data(), (uint32_t)input.size(), MacKey.data(),
                         (uint32_t)MacKey.size(), mac, sizeof(mac));
        return Blob(reinterpret_cast<char*>(mac), 20);
    }
};

struct ClientRecord {
    uint8_t Type;
    Blob Content;
};

struct ScriptedServer {
    TLS1* Client;
    uint8_t Minor = 3;
    Rc4Direction Write, Read;
    std::vector<ClientRecord> Records;   // everything the client sent, decrypted
    std::vector<Blob> HandshakeMessages; // the client's handshake messages in order
    Blob ClientRandom;

    explicit ScriptedServer(TLS1* client) : Client(client) {}

    Blob Record(uint8_t type, const Blob& content) {
        Blob body = content;
        if (Write.On) {
            body += Write.Mac(type, Minor, content);
            CryptSymmetric_Encrypt(Write.Cipher, body.data(), body.data(), (uint32_t)body.size());
            Write.Sequence++;
        }
        return U8(type) + U8(3) + U8(Minor) + U16((uint32_t)body.size()) + body;
    }
    // Hands bytes to the client and lets it read them: its ReadPackets result.
    int64_t Deliver(const Blob& bytes) {
        TLS1_ReadPut(Client, bytes.data(), (uint32_t)bytes.size());
        const int64_t result = TLS1_ReadPackets(Client);
        Drain();
        return result;
    }
    int64_t Send(uint8_t type, const Blob& content) { return Deliver(Record(type, content)); }
    int64_t Handshake(const Blob& messages) { return Send(22, messages); }

    // Takes the client's queued records, decrypting once its ChangeCipherSpec has gone out.
    void Drain() {
        Blob bytes;
        char chunk[4096];
        uint32_t got = 0;
        while (TLS1_WriteGet(Client, chunk, sizeof(chunk), &got) && got > 0) bytes.append(chunk, got);
        size_t at = 0;
        while (at + 5 <= bytes.size()) {
            const uint8_t type = (uint8_t)bytes[at];
            const uint32_t length = (uint8_t)bytes[at + 3] << 8 | (uint8_t)bytes[at + 4];
            Blob body = bytes.substr(at + 5, length);
            at += 5 + length;
            if (Read.On) {
                CryptSymmetric_Decrypt(Read.Cipher, body.data(), body.data(), (uint32_t)body.size());
                body.resize(body.size() >= 20 ? body.size() - 20 : 0);
                Read.Sequence++;
            }
            Records.push_back({type, body});
            if (type == 20 && Client->CipherInfo && Client->CipherInfo->Code == 0x0005) {
                DeriveKeys();
                Read.Start(ClientKey, ClientMac, false);
            }
            if (type == 22) SplitHandshake(body);
        }
    }
    void SplitHandshake(const Blob& body) {
        size_t at = 0;
        while (at + 4 <= body.size()) {
            const uint32_t length =
                (uint8_t)body[at + 1] << 16 | (uint8_t)body[at + 2] << 8 | (uint8_t)body[at + 3];
            HandshakeMessages.push_back(body.substr(at, 4 + length));
            if (body[at] == 1 && ClientRandom.empty()) ClientRandom = body.substr(at + 6, 32);
            at += 4 + length;
        }
    }
    bool Sent(uint8_t type) const {
        for (const Blob& m : HandshakeMessages)
            if ((uint8_t)m[0] == type) return true;
        return false;
    }

    // RC4-SHA keys from the client's master secret: the client's side is read here from its
    // ChangeCipherSpec on, and ours switches on with our ChangeCipherSpec.
    Blob ClientKey, ClientMac, ServerKey, ServerMac;
    void DeriveKeys() {
        const TLS1HandshakeContext* context = Client->HandshakeContext;
        Blob seed = "key expansion" + kServerRandom + ClientRandom;
        uint8_t block[72];
        TLS1_PRF(Client, context->MasterSecret, TLS1_MASTER_SECRET,
                 reinterpret_cast<const uint8_t*>(seed.data()), (uint32_t)seed.size(), block, sizeof(block));
        const Blob b(reinterpret_cast<char*>(block), sizeof(block));
        ClientMac = b.substr(0, 20);
        ServerMac = b.substr(20, 20);
        ClientKey = b.substr(40, 16);
        ServerKey = b.substr(56, 16);
    }
    int64_t ChangeCipherSpec() {
        const int64_t result = Send(20, U8(1));
        Write.Start(ServerKey, ServerMac, true);
        return result;
    }
    Blob ExpectedFinished() const {
        return Message(
            20, Blob(reinterpret_cast<const char*>(Client->HandshakeContext->ExpectedServerVerifyData), 12));
    }
};

// A signature by the key file over the data, made by openssl ("sha256", "sha1", ...).
inline Blob OpensslSign(const std::string& keyFile, const char* digest, const Blob& data) {
    auto out =
        RunOracle(std::string("openssl dgst -") + digest + " -sign '" + keyFile + "' -binary", data, 30);
    return out ? *out : Blob();
}
