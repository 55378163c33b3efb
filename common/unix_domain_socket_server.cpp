#include "common/unix_domain_socket_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "common/log_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

// The server whose loop runs on this thread, if any.
thread_local const UnixDomainSocketServer* t_serving = nullptr;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    // Round up so that a wait never ends just short of the deadline.
    return static_cast<int>(left) + 1;
}

enum class IoEnd { Done, PeerClosed, TimedOut, Failed };

// Reads exactly `size` bytes unless the peer closes, an error occurs or the
// deadline passes; `got` counts the bytes read. Signals do not end the wait.
IoEnd receiveAll(int fd, uint8_t* buf, size_t size, Clock::time_point deadline, size_t& got, int& err) {
    got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, buf + got, size - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return IoEnd::PeerClosed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            return IoEnd::Failed;
        }
        int wait = remainingMs(deadline);
        if (wait == 0) return IoEnd::TimedOut;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, wait) < 0 && errno != EINTR) {
            err = errno;
            return IoEnd::Failed;
        }
    }
    return IoEnd::Done;
}

// Sends the header and payload as one stream of bytes, continuing partial
// sends until the deadline; `sent` counts the bytes taken by the peer.
IoEnd sendAll(int fd, const void* header, size_t header_size, const void* payload, size_t payload_size,
              Clock::time_point deadline, size_t& sent, int& err) {
    const size_t total = header_size + payload_size;
    sent = 0;
    while (sent < total) {
        iovec iov[2];
        int count = 0;
        if (sent < header_size) {
            iov[count++] = {const_cast<uint8_t*>(static_cast<const uint8_t*>(header)) + sent, header_size - sent};
            if (payload_size != 0) iov[count++] = {const_cast<void*>(payload), payload_size};
        } else {
            size_t off = sent - header_size;
            iov[count++] = {const_cast<uint8_t*>(static_cast<const uint8_t*>(payload)) + off, payload_size - off};
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            return IoEnd::Failed;
        }
        int wait = remainingMs(deadline);
        if (wait == 0) return IoEnd::TimedOut;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, wait) < 0 && errno != EINTR) {
            err = errno;
            return IoEnd::Failed;
        }
    }
    return IoEnd::Done;
}

}  // namespace

UnixDomainSocketServer::UnixDomainSocketServer(std::string socket_path) : socket_path_(std::move(socket_path)) {
    logF->logger->info("Initializing Unix Domain Socket Server for path: {}", socket_path_);
}

UnixDomainSocketServer::~UnixDomainSocketServer() {
    // The subclass part is gone by now: its onCleanup must not run.
    stopSteps(false);
    logF->logger->info("Unix Domain Socket Server for path: {} destroyed", socket_path_);
}

bool UnixDomainSocketServer::onInit() { return true; }
void UnixDomainSocketServer::onCleanup() {}
void UnixDomainSocketServer::onClientConnected(int) {}
void UnixDomainSocketServer::onClientDisconnected(int) {}

uint64_t UnixDomainSocketServer::getCurrentTimestamp() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return static_cast<uint64_t>(ns) / 1000000u;
}

bool UnixDomainSocketServer::start() {
    if (running_) {
        logF->logger->warn("Server is already running for path: {}", socket_path_);
        return false;
    }
    if (!createSocket()) return false;

    bool ok = false;
    try {
        ok = onInit();
    } catch (...) {
        cleanup();
        throw;
    }
    if (!ok) {
        logF->logger->error("Custom initialization (onInit) failed for server on path: {}", socket_path_);
        cleanup();
        return false;
    }

    running_ = true;
    try {
        server_thread_ = std::thread(&UnixDomainSocketServer::serverLoop, this);
    } catch (const std::system_error& e) {
        running_ = false;
        logF->logger->error("Failed to start the server thread for path {}: {}", socket_path_, e.what());
        cleanup();
        return false;
    }
    logF->logger->info("Server started successfully on path: {}", socket_path_);
    return true;
}

bool UnixDomainSocketServer::createSocket() {
    ::unlink(socket_path_.c_str());

    sockaddr_un addr{};
    if (socket_path_.size() >= sizeof(addr.sun_path)) {
        logF->logger->error("Failed to bind socket for path {}: path longer than {} bytes", socket_path_,
                            sizeof(addr.sun_path) - 1);
        return false;
    }

    server_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server_fd_ < 0) {
        int e = errno;
        server_fd_ = -1;
        logF->logger->error("Failed to create socket for path {}: {}", socket_path_, std::strerror(e));
        return false;
    }
    if (server_fd_ >= FD_SETSIZE) {
        logF->logger->error("Failed to create socket for path {}: descriptor {} is not below FD_SETSIZE ({})",
                            socket_path_, server_fd_, FD_SETSIZE);
        ::close(server_fd_);
        server_fd_ = -1;
        return false;
    }

    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_path_.data(), socket_path_.size());
    if (::bind(server_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        int e = errno;
        logF->logger->error("Failed to bind socket for path {}: {}", socket_path_, std::strerror(e));
        ::close(server_fd_);
        server_fd_ = -1;
        return false;
    }
    if (::listen(server_fd_, 10) < 0) {
        int e = errno;
        logF->logger->error("Failed to listen on socket for path {}: {}", socket_path_, std::strerror(e));
        ::close(server_fd_);
        server_fd_ = -1;
        return false;
    }
    logF->logger->info("Socket server listening on {}", socket_path_);
    return true;
}

void UnixDomainSocketServer::serverLoop() {
    t_serving = this;
    logF->logger->info("Server loop started for path: {}", socket_path_);
    while (running_) {
        fd_set read_set;
        FD_ZERO(&read_set);
        FD_SET(server_fd_, &read_set);
        int max_fd = server_fd_;
        {
            std::lock_guard<std::mutex> guard(clients_mutex_);
            closeDroppedLocked();
            for (int fd : clients_) {
                FD_SET(fd, &read_set);
                max_fd = std::max(max_fd, fd);
            }
        }

        timeval timeout{1, 0};
        int ready = ::select(max_fd + 1, &read_set, nullptr, nullptr, &timeout);
        int e = errno;
        if (!running_) break;
        if (ready < 0) {
            if (e == EINTR) continue;
            logF->logger->error("Select error on path {}: {}", socket_path_, std::strerror(e));
            break;
        }
        if (ready == 0) continue;

        if (FD_ISSET(server_fd_, &read_set)) acceptNewClient();
        handleClientIo(read_set);
    }
    logF->logger->info("Server loop ended for path: {}", socket_path_);
    t_serving = nullptr;
}

void UnixDomainSocketServer::acceptNewClient() {
    sockaddr_un addr{};
    socklen_t len = sizeof(addr);
    int fd = ::accept4(server_fd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == EINTR) return;
        logF->logger->error("Failed to accept client on path {}: {}", socket_path_, std::strerror(e));
        if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
            // The pending connection keeps the socket readable: do not spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return;
    }
    if (fd >= FD_SETSIZE) {
        logF->logger->warn("Refusing client fd={} on path {}: descriptors must stay below FD_SETSIZE ({})", fd,
                           socket_path_, FD_SETSIZE);
        ::close(fd);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        clients_.push_back(fd);
    }
    logF->logger->info("New client connected: fd={} on path {}", fd, socket_path_);
    onClientConnected(fd);
}

void UnixDomainSocketServer::handleClientIo(const fd_set& read_set) {
    std::vector<int> failed;
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        // Handlers cannot change clients_ (they must not take the lock), but
        // index anyway rather than hold iterators across them.
        for (size_t i = 0; i < clients_.size(); ++i) {
            int fd = clients_[i];
            if (FD_ISSET(fd, &read_set) && !readFromClient(fd)) failed.push_back(fd);
        }
    }
    for (int fd : failed) removeClient(fd, true);
}

bool UnixDomainSocketServer::readFromClient(int client_fd) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(velantis::kClientReceiveTimeoutMs);
    velantis::MessageHeader header{};
    size_t got = 0;
    int err = 0;
    IoEnd end = receiveAll(client_fd, reinterpret_cast<uint8_t*>(&header), sizeof(header), deadline, got, err);
    if (end != IoEnd::Done) {
        if (got == 0 && end != IoEnd::TimedOut) return false;
        if (end == IoEnd::TimedOut) {
            logF->logger->warn("Timed out after {} ms waiting for a message from client fd={} on path {}",
                               velantis::kClientReceiveTimeoutMs, client_fd, socket_path_);
        }
        logF->logger->warn("Incomplete message header from client fd={} on path {}", client_fd, socket_path_);
        return false;
    }

    if (header.length > velantis::kMaxPayloadLength) {
        logF->logger->warn("Payload length {} from client fd={} on path {} exceeds the limit of {} bytes",
                           header.length, client_fd, socket_path_, velantis::kMaxPayloadLength);
        return false;
    }

    std::vector<uint8_t> payload(header.length);
    if (header.length != 0) {
        end = receiveAll(client_fd, payload.data(), payload.size(), deadline, got, err);
        if (end != IoEnd::Done) {
            if (end == IoEnd::TimedOut) {
                logF->logger->warn("Timed out after {} ms waiting for a message from client fd={} on path {}",
                                   velantis::kClientReceiveTimeoutMs, client_fd, socket_path_);
            }
            logF->logger->warn("Incomplete payload from client fd={} on path {}", client_fd, socket_path_);
            return false;
        }
    }

    handleClientMessage(client_fd, header, payload);
    return true;
}

void UnixDomainSocketServer::removeClient(int client_fd, bool lock) {
    std::unique_lock<std::mutex> guard(clients_mutex_, std::defer_lock);
    if (lock) guard.lock();

    auto it = std::remove(clients_.begin(), clients_.end(), client_fd);
    // Not (or no longer) ours: another thread has dropped it already.
    if (it == clients_.end()) return;
    clients_.erase(it, clients_.end());

    if (lock) {
        // Server thread, after its read pass: nothing else holds the descriptor.
        ::close(client_fd);
        guard.unlock();
    } else {
        // A broadcast, possibly while the server thread still holds the
        // descriptor in onClientConnected: end the connection now, close later.
        ::shutdown(client_fd, SHUT_RDWR);
        dropped_.push_back(client_fd);
    }
    logF->logger->info("Client disconnected: fd={} from path {}", client_fd, socket_path_);
    onClientDisconnected(client_fd);
}

void UnixDomainSocketServer::closeDroppedLocked() {
    for (int fd : dropped_) ::close(fd);
    dropped_.clear();
}

bool UnixDomainSocketServer::sendMessage(int client_fd, const velantis::MessageHeader& header, const void* payload) {
    const size_t payload_size = (payload != nullptr) ? header.length : 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(velantis::kClientSendTimeoutMs);
    size_t sent = 0;
    int err = 0;
    IoEnd end;
    {
        std::lock_guard<std::mutex> guard(send_mutex_);
        end = sendAll(client_fd, &header, sizeof(header), payload, payload_size, deadline, sent, err);
    }
    if (end == IoEnd::Done) return true;

    if (end == IoEnd::TimedOut) err = ETIMEDOUT;
    if (sent < sizeof(header)) {
        logF->logger->error("Failed to send message header to client fd={}: {}", client_fd, std::strerror(err));
    } else {
        logF->logger->error("Failed to send payload to client fd={}: {}", client_fd, std::strerror(err));
    }
    // A client that takes no messages, or one left holding half a message,
    // cannot be served any more: end its connection and the loop drops it.
    if (end == IoEnd::TimedOut) {
        logF->logger->warn("Dropping client fd={} on path {}: it took no message within {} ms", client_fd, socket_path_,
                           velantis::kClientSendTimeoutMs);
        ::shutdown(client_fd, SHUT_RDWR);
    } else if (sent != 0) {
        ::shutdown(client_fd, SHUT_RDWR);
    }
    return false;
}

void UnixDomainSocketServer::broadcastMessage(const velantis::MessageHeader& header, const void* payload) {
    std::lock_guard<std::mutex> guard(clients_mutex_);
    std::vector<int> failed;
    for (int fd : clients_) {
        if (!sendMessage(fd, header, payload)) failed.push_back(fd);
    }
    for (int fd : failed) removeClient(fd, false);
}

void UnixDomainSocketServer::stop() {
    if (t_serving == this) {
        logF->logger->error("stop() called on the server thread for path {}; ignored", socket_path_);
        return;
    }
    stopSteps(true);
}

void UnixDomainSocketServer::stopSteps(bool run_cleanup_hook) {
    std::lock_guard<std::mutex> stopping(stop_mutex_);
    if (!running_.exchange(false)) return;
    if (server_fd_ != -1) ::shutdown(server_fd_, SHUT_RDWR);
    if (server_thread_.joinable()) server_thread_.join();
    if (run_cleanup_hook) onCleanup();
    cleanup();
    logF->logger->info("Server stopped for path: {}", socket_path_);
}

void UnixDomainSocketServer::cleanup() {
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        for (int fd : clients_) ::close(fd);
        clients_.clear();
        closeDroppedLocked();
    }
    if (server_fd_ != -1) {
        ::close(server_fd_);
        server_fd_ = -1;
    }
    ::unlink(socket_path_.c_str());
}

void UnixDomainSocketServer::run() {
    if (!start()) return;
    while (running_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // running_ is cleared at the beginning of the stop steps, under stop_mutex_:
    // wait for their end, so that the caller may destroy the server on return.
    std::lock_guard<std::mutex> stopped(stop_mutex_);
}
