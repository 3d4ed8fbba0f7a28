// A TCP server on 127.0.0.1 for the downloader tests: it answers each request with the next
// scripted reply and, once the replies run out, stays silent (and connected) for as long as it
// lives. A reply that says "Connection: close" is followed by the end of its connection, as a
// server that drops it would. Every request is kept, for the tests that check what was asked.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wait_until.h"

class LoopbackServer {
public:
    explicit LoopbackServer(std::deque<std::string> replies)
        : replies_(std::move(replies)), allAnswered_(replies_.empty()) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(listener_, 8) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port_ = ntohs(address.sin_port);
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackServer() {
        stopping_ = true;
        closesocket(listener_);
        thread_.join();
        for (SOCKET client : clients_) closesocket(client);
        WSACleanup();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    // True once `count` connections came and every scripted reply went out.
    bool WaitForConnections(int count) const {
        return WaitUntil([&] { return accepted_.load() >= count && allAnswered_.load(); });
    }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }

private:
    void Serve() {
        // One thread serves every connection: a select over the listener and the clients.
        while (!stopping_) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(listener_, &readable);
            for (SOCKET client : clients_) FD_SET(client, &readable);
            timeval wait{0, 50'000};
            if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
            if (FD_ISSET(listener_, &readable)) {
                const SOCKET client = accept(listener_, nullptr, nullptr);
                if (client == INVALID_SOCKET) continue;
                clients_.push_back(client);
                ++accepted_;
            }
            for (std::size_t i = 0; i < clients_.size(); ++i) {
                const SOCKET client = clients_[i];
                if (!FD_ISSET(client, &readable)) continue;
                char buffer[4096];
                const int count = recv(client, buffer, sizeof(buffer), 0);
                const auto drop = [&] {
                    closesocket(client);
                    pending_.erase(client);
                    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i--));
                };
                if (count <= 0) {
                    drop();
                    continue;
                }
                std::string& request = pending_[client];
                request.append(buffer, count);
                // A request is complete at its last line break; the next reply answers it.
                if (buffer[count - 1] != '\n') continue;
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    requests_.push_back(std::move(request));
                }
                request.clear();
                if (replies_.empty()) continue;
                const std::string reply = replies_.front();
                replies_.pop_front();
                send(client, reply.data(), static_cast<int>(reply.size()), 0);
                allAnswered_ = replies_.empty();
                if (reply.find("\r\nConnection: close\r\n") != std::string::npos) {
                    shutdown(client, SD_SEND);
                    drop();
                }
            }
        }
    }

    std::deque<std::string> replies_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::vector<SOCKET> clients_;
    std::map<SOCKET, std::string> pending_;  // what each client has sent of its next request
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> allAnswered_{false};
    std::thread thread_;
};
