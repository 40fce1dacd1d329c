// Drives one TLS1 connection over a blocking Socket to 127.0.0.1, the way a caller of the
// object does: records from WriteGet go to the socket, bytes from the socket go in through
// ReadPut and ReadPackets, and decrypted data comes out through ReadGet. Every wait is bounded.
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
        SocketSelect_Create(&select_);
        buffer_.resize(1 << 16);
    }
    ~TlsPump() {
        TLS1_Release(&tls_);
        SocketSelect_Release(&select_);
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
        Closed = Failed = false;
        if (Socket_IsOpen(socket_)) Socket_Close(socket_);
        const uint32_t loopback = htonl(INADDR_LOOPBACK);
        if (!Socket_Open(socket_, SOCKET_PROTOCOL_TCP)) return false;
        Socket_SetTimeout(socket_, 10000, 5000, 0);
        Socket_SetNagel(socket_, 0);
        if (!Socket_Connect(socket_, &loopback, port)) return false;
        uint32_t error = 0;
        return TLS1_Connect(tls_, host, &error) == 1;
    }

    // Full handshake: true when the handshake completed within the time.
    bool Handshake(uint32_t port, const char* host, int ms = 10000) {
        if (!Start(port, host)) return false;
        return PumpUntil([&] { return TLS1_IsHandshakeComplete(tls_) == 1; }, ms);
    }

    // Queues plaintext; pumps while the outgoing side is full.
    bool Send(const std::string& text, int ms = 10000) {
        size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (done < text.size()) {
            uint32_t queued = 0;
            TLS1_WritePut(tls_, text.data() + done, (uint32_t)(text.size() - done), &queued);
            done += queued;
            if (!Flush()) return false;
            if (queued == 0 && Clock::now() > deadline) return false;
        }
        return true;
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

    // One round: send what is queued, wait up to waitMs for bytes, feed them in, collect data.
    void Step(uint32_t waitMs) {
        Flush();
        Collect();
        // Records already received may be waiting for room in the reader: they are taken
        // first, which frees the room the socket may then fill.
        if (!TLS1_ReadPackets(tls_)) Failed = true;
        Collect();
        int32_t left = 0;
        TLS1_ReadGetBufferLeft(tls_, &left);
        if (left <= 0) return;
        SocketSelect_Clear(select_);
        SocketSelect_Add(select_, socket_);
        int32_t ready = 0;
        SocketSelect_Wait(select_, nullptr, nullptr, nullptr, waitMs, &ready);
        if (ready <= 0) return;
        uint32_t got = 0;
        const uint32_t want = (uint32_t)std::min<int32_t>(left, (int32_t)buffer_.size());
        if (!Socket_Read(socket_, buffer_.data(), want, &got) || got == 0) {
            Closed = true;
        } else {
            if (KeepWire) Wire.append(reinterpret_cast<const char*>(buffer_.data()), got);
            TLS1_ReadPut(tls_, buffer_.data(), got);
        }
        if (!TLS1_ReadPackets(tls_)) Failed = true;
        Collect();
        Flush();
    }

    // Sends every queued record; false when the socket refused.
    bool Flush() {
        int32_t used = 0;
        while (TLS1_WriteGetBufferUsed(tls_, &used) && used > 0) {
            uint32_t taken = 0;
            TLS1_WriteGet(tls_, buffer_.data(), (uint32_t)std::min<int32_t>(used, (int32_t)buffer_.size()),
                          &taken);
            for (uint32_t sent = 0; sent < taken;) {
                uint32_t n = 0;
                if (!Socket_Write(socket_, buffer_.data() + sent, taken - sent, &n) || n == 0) return false;
                sent += n;
            }
        }
        return true;
    }

    uint32_t LastError() const {
        uint32_t code = 0;
        TLS1_GetLastError(tls_, &code);
        return code;
    }

    // Sends close_notify and closes both the object and the socket.
    void Close() {
        TLS1_SendCloseNotify(tls_);
        Flush();
        TLS1_Close(tls_);
        Socket_Close(socket_);
    }

  private:
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
    SocketSelect* select_ = nullptr;
    std::vector<uint8_t> buffer_;
};
