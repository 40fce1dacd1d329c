// A loopback HTTP peer of the test's own for the answers real servers will not give: each
// request's head goes to an answer function; a non-empty answer is sent and the connection closed,
// an empty one holds the connection without an answer until the peer stops.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class ScriptedPeer {
  public:
    using Answer = std::function<std::string(const std::string& request)>;
    explicit ScriptedPeer(Answer answer) : answer_(std::move(answer)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener_, 16);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedPeer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int Accepted() const { return accepted_.load(); }

  private:
    void Serve() {
        std::vector<int> held;
        while (!stop_) {
            pollfd p = {listener_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            accepted_++;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd r = {fd, POLLIN, 0};
                if (poll(&r, 1, 2000) != 1) break;
                const ssize_t n = read(fd, buffer, sizeof(buffer));
                if (n <= 0) break;
                request.append(buffer, (size_t)n);
            }
            const std::string answer = answer_(request);
            if (answer.empty()) {
                held.push_back(fd);
                continue;
            }
            for (size_t done = 0; done < answer.size();) {
                const ssize_t n = write(fd, answer.data() + done, answer.size() - done);
                if (n <= 0) break;
                done += (size_t)n;
            }
            close(fd);
        }
        for (int fd : held) close(fd);
    }

    Answer answer_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Bytes of a small linear congruential generator: reproducible content that does not compress.
inline std::string PseudoRandomBytes(size_t size, uint32_t seed) {
    std::string text(size, 0);
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245u + 12345u;
        text[i] = (char)(seed >> 16);
    }
    return text;
}
