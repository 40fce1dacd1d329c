// Drives one TLS1 connection over a Socket to 127.0.0.1, the way a caller of the object does:
// records from WriteGet go to the socket, bytes from the socket go in through ReadPut and
// ReadPackets, and decrypted data comes out through ReadGet. The socket connects blocking and
// then turns non-blocking, and a select set paces both directions, so that a peer that neither
// reads nor writes never holds the test: every wait is bounded.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/net/socket.h"
#include "core/net/tls1.h"

class TlsPump {
  public:
    using Clock = std::chrono::steady_clock;

    TlsPump() {
        TLS1_Create(&tls_);
        Socket_Create(&socket_);
        SocketSelect_Create(&readable_);
        SocketSelect_Create(&writable_);
        buffer_.resize(1 << 16);
    }
    ~TlsPump() {
        TLS1_Release(&tls_);
        SocketSelect_Release(&readable_);
        SocketSelect_Release(&writable_);
        Socket_Release(&socket_);
    }
    TlsPump(const TlsPump&) = delete;
    TlsPump& operator=(const TlsPump&) = delete;

    TLS1* Tls() const { return tls_; }
    Socket* Sock() const { return socket_; }

    // Bytes of application data received and not yet taken by the caller.
    std::string Received;
    // Every byte the socket delivered, as it came (the server's records).
    std::string Wire;
    bool KeepWire = false;
    // The socket saw the server close, or failed.
    bool Closed = false;
    // ReadPackets answered 0 at least once.
    bool Failed = false;
    // Leaves decrypted data inside the object (to fill its reader and see back-pressure).
    bool Hold = false;
    // For bulk transfers: count decrypted bytes instead of keeping them.
    bool Discard = false;
    uint64_t Discarded = 0;

    // Connects the socket and queues the ClientHello; no waiting for the handshake.
    bool Start(uint32_t port, const char* host) {
        Received.clear();
        Wire.clear();
        outgoing_.clear();
        Closed = Failed = false;
        if (Socket_IsOpen(socket_)) Socket_Close(socket_);
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        if (!Socket_Open(socket_, SOCKET_PROTOCOL_TCP)) return false;
        Socket_SetTimeout(socket_, 10000, 5000, 0);
        Socket_SetNagel(socket_, 0);
        if (!Socket_Connect(socket_, &loopback, port)) return false;
        Socket_SetBlocking(socket_, 0);
        uint32_t error = 0;
        return TLS1_Connect(tls_, host, &error) == 1;
    }

    // Full handshake: true when the handshake completed within the time.
    bool Handshake(uint32_t port, const char* host, int ms = 10000) {
        if (!Start(port, host)) return false;
        return PumpUntil([&] { return TLS1_IsHandshakeComplete(tls_) == 1; }, ms);
    }

    // Queues plaintext and sends it, pumping while the object has no room.
    bool Send(const std::string& text, int ms = 10000) {
        size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (done < text.size()) {
            uint32_t queued = 0;
            TLS1_WritePut(tls_, text.data() + done, (uint32_t)(text.size() - done), &queued);
            done += queued;
            if (Closed || Failed || Clock::now() > deadline) return false;
            if (queued == 0) Step(50);
        }
        return Flush(ms);
    }

    // Pumps until everything queued has gone to the socket.
    bool Flush(int ms = 10000) {
        return PumpUntil(
            [&] {
                int32_t used = 0;
                TLS1_WriteGetBufferUsed(tls_, &used);
                return outgoing_.empty() && used <= 0;
            },
            ms);
    }

    // Pumps until the condition holds (true), the connection failed or closed, or the time ran
    // out (false unless the condition holds then).
    bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (Failed || Closed || Clock::now() > deadline) return done();
            Step(50);
        }
        return true;
    }

    // Waits for the server to close (or fail) and keeps all data up to then.
    bool ReadToClose(int ms = 10000) {
        PumpUntil([&] { return Closed || Failed; }, ms);
        return Closed;
    }

    // One round: waits up to waitMs for the socket to take or give bytes, moves them, feeds the
    // object and collects its data.
    void Step(uint32_t waitMs) {
        // Records already received may be waiting for room in the reader: they are taken
        // first, which frees the room the socket may then fill.
        Pass();
        int32_t left = 0;
        TLS1_ReadGetBufferLeft(tls_, &left);
        SocketSelect_Clear(readable_);
        SocketSelect_Clear(writable_);
        if (left > 0) SocketSelect_Add(readable_, socket_);
        if (!outgoing_.empty()) SocketSelect_Add(writable_, socket_);
        if (left <= 0 && outgoing_.empty()) return;
        int32_t ready = 0;
        SocketSelect_Wait(readable_, writable_, nullptr, nullptr, waitMs, &ready);
        if (ready <= 0) return;
        if (!outgoing_.empty() && SocketSelect_IsSet(writable_, socket_)) {
            uint32_t sent = 0;
            const uint32_t n = (uint32_t)std::min<size_t>(outgoing_.size(), 1 << 18);
            if (!Socket_Write(socket_, outgoing_.data(), n, &sent)) Closed = true;
            outgoing_.erase(0, sent);
        }
        if (left > 0 && SocketSelect_IsSet(readable_, socket_)) {
            uint32_t got = 0;
            const uint32_t want = (uint32_t)std::min<int32_t>(left, (int32_t)buffer_.size());
            if (!Socket_Read(socket_, buffer_.data(), want, &got)) {
                Closed = true;
            } else if (got > 0) {
                if (KeepWire) Wire.append(reinterpret_cast<const char*>(buffer_.data()), got);
                TLS1_ReadPut(tls_, buffer_.data(), got);
            }
        }
        Pass();
    }

    uint32_t LastError() const {
        uint32_t code = 0;
        TLS1_GetLastError(tls_, &code);
        return code;
    }

    // Sends close_notify and closes both the object and the socket.
    void Close() {
        TLS1_SendCloseNotify(tls_);
        Flush(1000);
        TLS1_Close(tls_);
        Socket_Close(socket_);
        outgoing_.clear();
    }

  private:
    // Records in, data out, records to send taken from the object.
    void Pass() {
        if (!TLS1_ReadPackets(tls_)) Failed = true;
        Collect();
        int32_t used = 0;
        while (TLS1_WriteGetBufferUsed(tls_, &used) && used > 0) {
            uint32_t taken = 0;
            TLS1_WriteGet(tls_, buffer_.data(), (uint32_t)std::min<int32_t>(used, (int32_t)buffer_.size()),
                          &taken);
            if (taken == 0) break;
            outgoing_.append(reinterpret_cast<const char*>(buffer_.data()), taken);
        }
    }

    void Collect() {
        if (Hold) return;
        int32_t used = 0;
        while (TLS1_ReadGetBufferUsed(tls_, &used) && used > 0) {
            uint32_t got = 0;
            TLS1_ReadGet(tls_, buffer_.data(), (uint32_t)std::min<int32_t>(used, (int32_t)buffer_.size()),
                         &got);
            if (got == 0) break;
            if (Discard) {
                Discarded += got;
            } else {
                Received.append(reinterpret_cast<const char*>(buffer_.data()), got);
            }
        }
    }

    TLS1* tls_ = nullptr;
    Socket* socket_ = nullptr;
    SocketSelect* readable_ = nullptr;
    SocketSelect* writable_ = nullptr;
    std::vector<uint8_t> buffer_;
    // Record bytes taken from the object and not yet accepted by the socket.
    std::string outgoing_;
};
