#include "common/unix_domain_socket_server.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "common/file_owner.h"
#include "common/log_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReceiveTimeout = std::chrono::milliseconds(velantis::kClientReceiveTimeoutMs);
constexpr auto kSendTimeout = std::chrono::milliseconds(velantis::kClientSendTimeoutMs);
// The longest pause of the loop when nothing happens.
constexpr auto kLoopTimeout = std::chrono::seconds(1);
// A client's queue: at most this many messages and, beyond its first message, bytes.
constexpr size_t kQueueMessages = 16;
constexpr size_t kQueueBytes = 256 * 1024;
// After accept failed for want of descriptors or memory, the listening socket rests this
// long (the pending connection would make it readable at once); the failure is logged at
// most once per kAcceptLogInterval.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);
constexpr auto kAcceptLogInterval = std::chrono::seconds(10);
// Payload bytes asked of the socket at a time: a payload's buffer runs at most this far
// ahead of the bytes that have arrived, whatever length its header announces.
constexpr size_t kReadChunk = 64 * 1024;

// The server whose loop runs on this thread, if any.
thread_local const UnixDomainSocketServer* t_serving = nullptr;

bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

bool lacksResources(int e) { return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM; }

// Descriptors open in this process, -1 (errno set) when they cannot be counted.
long openDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    long count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the directory's own
}

std::vector<uint8_t> flatten(const velantis::MessageHeader& header, const void* payload, size_t payload_size) {
    std::vector<uint8_t> bytes(sizeof(header) + payload_size);
    std::memcpy(bytes.data(), &header, sizeof(header));
    if (payload_size != 0) std::memcpy(bytes.data() + sizeof(header), payload, payload_size);
    return bytes;
}

timeval untilDeadline(Clock::duration wait) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
    if (left < 0) left = 0;
    // Round up by a millisecond so that the loop never wakes just short of a deadline.
    left += 1000;
    return timeval{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
}

}  // namespace

// What one pass of the loop waits for, and how long at most.
struct UnixDomainSocketServer::IoSets {
    fd_set read;
    fd_set write;
    int max_fd = -1;
    timeval timeout{};
};

UnixDomainSocketServer::UnixDomainSocketServer(std::string socket_path) : socket_path_(std::move(socket_path)) {
    logF->logger->info("Initializing Unix Domain Socket Server for path: {}", socket_path_);
}

UnixDomainSocketServer::~UnixDomainSocketServer() {
    {
        std::lock_guard<std::mutex> stopping(stop_mutex_);
        // The subclass part is gone by now: its onCleanup must not run.
        if (endServerThread()) closeAll();
    }
    logF->logger->info("Unix Domain Socket Server for path: {} destroyed", socket_path_);
}

bool UnixDomainSocketServer::onInit() { return true; }
void UnixDomainSocketServer::onCleanup() {}
void UnixDomainSocketServer::onClientConnected(int) {}
void UnixDomainSocketServer::onClientDisconnected(int) {}

uint64_t UnixDomainSocketServer::getCurrentTimestamp() { return velantis::currentTimestamp(); }

void UnixDomainSocketServer::setDescriptorReserve(int count) { descriptor_reserve_ = std::max(count, 0); }

UnixDomainSocketServer::TimePoint UnixDomainSocketServer::servingNow() const {
    return Clock::now() - std::chrono::nanoseconds(busy_ns_.load(std::memory_order_relaxed));
}

template <typename Fn>
void UnixDomainSocketServer::timed(Fn&& fn) {
    if (t_serving != this) {
        fn();
        return;
    }
    struct Clocked {
        std::atomic<int64_t>& busy;
        const Clock::time_point begun = Clock::now();
        ~Clocked() {
            busy.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begun).count(),
                           std::memory_order_relaxed);
        }
    } clocked{busy_ns_};
    fn();
}

// ---------------------------------------------------------------------------------------
// Start and set-up

bool UnixDomainSocketServer::start() {
    start_failure_ = StartFailure{};
    if (running_) {
        logF->logger->warn("Server is already running for path: {}", socket_path_);
        return startFailed(StartFailure::AlreadyRunning);
    }
    if (!createSocket()) return false;
    if (!createWakeup()) {
        cleanup();
        return false;
    }

    bool ok = false;
    try {
        ok = onInit();
    } catch (...) {
        startFailed(StartFailure::Init);
        cleanup();
        throw;
    }
    if (!ok) {
        logF->logger->error("Custom initialization (onInit) failed for server on path: {}", socket_path_);
        cleanup();
        return startFailed(StartFailure::Init);
    }

    running_ = true;
    try {
        server_thread_ = std::thread(&UnixDomainSocketServer::serverLoop, this);
    } catch (const std::system_error& e) {
        running_ = false;
        logF->logger->error("Failed to start the server thread for path {}: {}", socket_path_, e.what());
        cleanup();
        return startFailed(StartFailure::Thread, e.what());
    }
    logF->logger->info("Server started successfully on path: {}", socket_path_);
    return true;
}

const UnixDomainSocketServer::StartFailure& UnixDomainSocketServer::startFailure() const { return start_failure_; }

bool UnixDomainSocketServer::startFailed(StartFailure::Step step, std::string reason) {
    start_failure_.step = step;
    start_failure_.reason = std::move(reason);
    return false;
}

void UnixDomainSocketServer::setSocketMode(mode_t mode) { socket_mode_ = mode; }

bool UnixDomainSocketServer::createSocket() {
    // A file that another user left in a sticky /tmp cannot be removed: the bind below fails.
    if (::unlink(socket_path_.c_str()) != 0 && errno != ENOENT) {
        const int e = errno;
        logF->logger->error("Cannot remove the stale socket file {} (owner {}): {}", socket_path_,
                            fileOwner(socket_path_), std::strerror(e));
    }

    sockaddr_un addr{};
    if (socket_path_.size() >= sizeof(addr.sun_path)) {
        return socketFailed("bind socket", fmt::format("path longer than {} bytes", sizeof(addr.sun_path) - 1));
    }
    server_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server_fd_ < 0) return socketFailed("create socket", std::strerror(errno));
    if (server_fd_ >= FD_SETSIZE) {
        return socketFailed("create socket",
                            fmt::format("descriptor {} is not below FD_SETSIZE ({})", server_fd_, FD_SETSIZE));
    }

    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_path_.data(), socket_path_.size());
    if (::bind(server_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        return socketFailed("bind socket", std::strerror(errno));
    }
    // Before listening: nobody connects with the mode as created.
    if (socket_mode_ != 0 && ::chmod(socket_path_.c_str(), socket_mode_) != 0) {
        const int e = errno;
        ::unlink(socket_path_.c_str());
        return socketFailed("set the mode of socket", std::strerror(e));
    }
    if (::listen(server_fd_, 10) < 0) return socketFailed("listen on socket", std::strerror(errno));
    logF->logger->info("Socket server listening on {}", socket_path_);
    return true;
}

// Logs "Failed to <step> for path <path>: <reason>" and closes the listening socket.
bool UnixDomainSocketServer::socketFailed(const char* step, const std::string& reason) {
    logF->logger->error("Failed to {} for path {}: {}", step, socket_path_, reason);
    if (server_fd_ >= 0) ::close(server_fd_);
    server_fd_ = -1;
    return startFailed(StartFailure::Socket, reason);
}

// The descriptor through which other threads wake the server loop.
bool UnixDomainSocketServer::createWakeup() {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int e = errno;
    std::string reason;
    if (fd < 0) {
        reason = std::strerror(e);
    } else if (fd >= FD_SETSIZE) {
        reason = fmt::format("descriptor {} is not below FD_SETSIZE ({})", fd, FD_SETSIZE);
        ::close(fd);
    } else {
        std::lock_guard<std::mutex> guard(send_mutex_);
        wake_fd_ = fd;
        return true;
    }
    logF->logger->error("Failed to create the wake-up descriptor for path {}: {}", socket_path_, reason);
    return startFailed(StartFailure::Socket, reason);
}

// ---------------------------------------------------------------------------------------
// The server loop

void UnixDomainSocketServer::serverLoop() {
    t_serving = this;
    logF->logger->info("Server loop started for path: {}", socket_path_);
    while (running_) {
        IoSets sets;
        prepareIoSets(sets);
        int ready = ::select(sets.max_fd + 1, &sets.read, &sets.write, nullptr, &sets.timeout);
        int e = errno;
        if (!running_) break;
        if (ready < 0) {
            if (e == EINTR) continue;
            logF->logger->error("Select error on path {}: {}", socket_path_, std::strerror(e));
            break;
        }
        if (ready > 0) serveReady(sets);
        dropStalledClients();
    }
    logF->logger->info("Server loop ended for path: {}", socket_path_);
    t_serving = nullptr;
}

// Reading: the listening socket, the wake-up and every client. Writing: the clients
// with queued messages. Time-out: the next deadline of a client, 1 s at most.
void UnixDomainSocketServer::prepareIoSets(IoSets& sets) {
    FD_ZERO(&sets.read);
    FD_ZERO(&sets.write);
    auto add = [&sets](int fd, fd_set& set) {
        FD_SET(fd, &set);
        sets.max_fd = std::max(sets.max_fd, fd);
    };
    Clock::duration wait = kLoopTimeout;
    if (acceptPaused()) {
        wait = std::min<Clock::duration>(wait, accept_resume_ - Clock::now());
    } else {
        add(server_fd_, sets.read);
    }
    add(wake_fd_, sets.read);
    const auto now = servingNow();
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        closeDroppedLocked();
        for (int fd : clients_) {
            // One that has finished sending waits only for its replies to go out.
            if (!inboxes_[fd].ended) add(fd, sets.read);
        }
        for (const auto& [fd, inbox] : inboxes_) {
            if (inbox.started()) wait = std::min<Clock::duration>(wait, inbox.begun + kReceiveTimeout - now);
        }
    }
    {
        std::lock_guard<std::mutex> guard(send_mutex_);
        for (const auto& [fd, outbox] : outboxes_) {
            if (outbox.messages.empty()) continue;
            add(fd, sets.write);
            wait = std::min<Clock::duration>(wait, outbox.progressed + kSendTimeout - now);
        }
    }
    sets.timeout = untilDeadline(wait);
}

void UnixDomainSocketServer::serveReady(const IoSets& sets) {
    if (FD_ISSET(wake_fd_, &sets.read)) {
        uint64_t count = 0;
        (void)!::read(wake_fd_, &count, sizeof(count));
    }
    if (FD_ISSET(server_fd_, &sets.read)) acceptNewClient();
    handleClientIo(sets.read);
    flushQueues(sets.write);
}

void UnixDomainSocketServer::acceptNewClient() {
    sockaddr_un addr{};
    socklen_t len = sizeof(addr);
    int fd = ::accept4(server_fd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    const auto now = Clock::now();
    if (fd < 0) {
        int e = errno;
        if (e == EINTR || wouldBlock(e)) return;
        // The pending connection keeps the socket readable: rest it rather than spin.
        if (lacksResources(e)) accept_resume_ = now + kAcceptPause;
        if (accept_logged_ == TimePoint{} || now >= accept_logged_ + kAcceptLogInterval) {
            logF->logger->error("Failed to accept client on path {}: {}", socket_path_, std::strerror(e));
            accept_logged_ = now;
        } else {
            ++accept_unlogged_;
        }
        return;
    }
    if (accept_unlogged_ != 0) {
        logF->logger->info("Accepting clients again on path {}; {} failed accepts were not logged", socket_path_,
                           accept_unlogged_);
        accept_unlogged_ = 0;
    }
    addClient(fd);
}

bool UnixDomainSocketServer::acceptPaused() { return accept_resume_ != TimePoint{} && Clock::now() < accept_resume_; }

// Whether taking client_fd leaves the reserve free below the soft descriptor limit.
bool UnixDomainSocketServer::keepsReserve(int client_fd) {
    if (descriptor_reserve_ == 0) return true;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    const long soft = static_cast<long>(limit.rlim_cur);
    long free_after = 0;
    const long open = openDescriptors();
    if (open >= 0) {
        free_after = soft - open;
    } else if (!lacksResources(errno)) {
        // No /proc: the client's is the lowest free descriptor, so at most these are free.
        free_after = soft - 1 - client_fd;
    }
    if (free_after >= descriptor_reserve_) return true;
    logF->logger->warn(
        "Refusing client fd={} on path {}: {} descriptors would stay free below the limit of {}, {} "
        "are kept in reserve",
        client_fd, socket_path_, std::max(free_after, 0L), soft, descriptor_reserve_);
    return false;
}

// Takes a connected socket as a client; the server owns it from here.
bool UnixDomainSocketServer::addClient(int fd) {
    if (fd >= FD_SETSIZE) {
        logF->logger->warn("Refusing client fd={} on path {}: descriptors must stay below FD_SETSIZE ({})", fd,
                           socket_path_, FD_SETSIZE);
        ::close(fd);
        return false;
    }
    if (!keepsReserve(fd)) {
        ::close(fd);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        clients_.push_back(fd);
        inboxes_[fd] = Inbox{};
        std::lock_guard<std::mutex> sending(send_mutex_);
        outboxes_[fd] = Outbox{};
    }
    logF->logger->info("New client connected: fd={} on path {}", fd, socket_path_);
    timed([&] { onClientConnected(fd); });
    return true;
}

// ---------------------------------------------------------------------------------------
// Reading

void UnixDomainSocketServer::handleClientIo(const fd_set& read_set) {
    std::vector<int> ended;
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        // Handlers cannot change clients_ (they must not take the lock), but
        // index anyway rather than hold iterators across them.
        for (size_t i = 0; i < clients_.size(); ++i) {
            int fd = clients_[i];
            if (FD_ISSET(fd, &read_set) && !readFromClient(fd)) ended.push_back(fd);
        }
    }
    for (int fd : ended) closeClient(fd);
}

// Takes, without waiting, what has arrived of the client's message in hand, and hands
// the message on once it is whole: at most one message per call. False when the client
// is to be removed.
bool UnixDomainSocketServer::readFromClient(int client_fd) {
    Inbox& in = inboxes_[client_fd];
    if (in.ended) return true;
    while (!in.whole()) {
        const bool had_header = in.headerWhole();
        const bool had_begun = in.started();
        ssize_t n = in.receive(client_fd);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && wouldBlock(errno)) return true;
        if (n <= 0) {
            warnIncomplete(client_fd, in);
            // At the end of its stream a client still gets the replies queued for it.
            return n == 0 && lingerForReplies(client_fd, in);
        }
        if (!had_begun) in.begun = servingNow();
        if (!had_header && in.headerWhole() && in.header.length > velantis::kMaxPayloadLength) {
            logF->logger->warn("Payload length {} from client fd={} on path {} exceeds the limit of {} bytes",
                               in.header.length, client_fd, socket_path_, velantis::kMaxPayloadLength);
            return false;
        }
    }
    const velantis::MessageHeader header = in.header;
    const std::vector<uint8_t> payload = std::move(in.payload);
    in = Inbox{};
    timed([&] { handleClientMessage(client_fd, header, payload); });
    return true;
}

// A client that has finished sending stays until its queue is empty (or it is dropped
// for not taking it); false when nothing waits for it. clients_mutex_ held.
bool UnixDomainSocketServer::lingerForReplies(int client_fd, Inbox& inbox) {
    std::lock_guard<std::mutex> guard(send_mutex_);
    auto it = outboxes_.find(client_fd);
    if (it == outboxes_.end() || it->second.failed || it->second.messages.empty()) return false;
    it->second.peer_done = true;
    inbox = Inbox{};
    inbox.ended = true;
    return true;
}

ssize_t UnixDomainSocketServer::Inbox::receive(int fd) {
    if (!headerWhole()) {
        ssize_t n = ::recv(fd, reinterpret_cast<uint8_t*>(&header) + header_bytes, sizeof(header) - header_bytes,
                           MSG_DONTWAIT);
        if (n > 0) header_bytes += static_cast<size_t>(n);
        return n;
    }
    const size_t have = payload.size();
    const size_t want = std::min<size_t>(header.length - have, kReadChunk);
    payload.resize(have + want);
    ssize_t n = ::recv(fd, payload.data() + have, want, MSG_DONTWAIT);
    const int e = errno;
    payload.resize(have + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    errno = e;
    return n;
}

// For a client that ended, failed or stalled in the middle of a message.
void UnixDomainSocketServer::warnIncomplete(int client_fd, const Inbox& inbox) {
    if (!inbox.started()) return;  // between messages: nothing is lost
    if (!inbox.headerWhole()) {
        logF->logger->warn("Incomplete message header from client fd={} on path {}", client_fd, socket_path_);
    } else {
        logF->logger->warn("Incomplete payload from client fd={} on path {}", client_fd, socket_path_);
    }
}

// ---------------------------------------------------------------------------------------
// Writing

bool UnixDomainSocketServer::sendMessage(int client_fd, const velantis::MessageHeader& header, const void* payload) {
    const size_t payload_size = (payload != nullptr) ? header.length : 0;
    std::lock_guard<std::mutex> guard(send_mutex_);
    auto it = outboxes_.find(client_fd);
    // Gone, or dropped and about to be removed.
    if (it == outboxes_.end() || it->second.failed) return false;
    Outbox& out = it->second;
    const size_t size = sizeof(header) + payload_size;
    if (out.messages.size() >= kQueueMessages || (!out.messages.empty() && out.bytes + size > kQueueBytes)) {
        logF->logger->warn("Dropping client fd={} on path {}: its queue is full ({} messages, {} bytes)", client_fd,
                           socket_path_, out.messages.size(), out.bytes);
        failOutbox(out);
        return false;
    }
    const bool was_idle = out.messages.empty();
    if (was_idle) out.progressed = servingNow();
    out.messages.push_back(flatten(header, payload, payload_size));
    out.bytes += size;
    flushOutbox(client_fd, out);
    if (out.failed) return false;
    // The rest goes out from the server thread as the client reads.
    if (was_idle && !out.messages.empty()) wakeServerThread();
    return true;
}

void UnixDomainSocketServer::broadcastMessage(const velantis::MessageHeader& header, const void* payload) {
    std::lock_guard<std::mutex> guard(clients_mutex_);
    std::vector<int> failed;
    for (int fd : clients_) {
        if (!sendMessage(fd, header, payload)) failed.push_back(fd);
    }
    for (int fd : failed) dropClientLocked(fd);
}

void UnixDomainSocketServer::flushQueues(const fd_set& write_set) {
    std::lock_guard<std::mutex> guard(send_mutex_);
    for (auto& [fd, out] : outboxes_) {
        if (!out.messages.empty() && FD_ISSET(fd, &write_set)) flushOutbox(fd, out);
    }
}

// Sends from the front of the queue until the client takes no more; send_mutex_ held.
void UnixDomainSocketServer::flushOutbox(int client_fd, Outbox& out) {
    while (!out.messages.empty()) {
        const std::vector<uint8_t>& front = out.messages.front();
        ssize_t n = ::send(client_fd, front.data() + out.front_sent, front.size() - out.front_sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            out.front_sent += static_cast<size_t>(n);
            out.bytes -= static_cast<size_t>(n);
            out.progressed = servingNow();
            if (out.front_sent == front.size()) {
                out.messages.pop_front();
                out.front_sent = 0;
            }
            continue;
        }
        const int e = errno;
        if (n < 0 && e == EINTR) continue;
        if (n < 0 && wouldBlock(e)) return;
        if (out.peer_done && (e == EPIPE || e == ECONNRESET)) {
            // Gone after it had finished sending: it wanted nothing more.
            failOutbox(out);
            return;
        }
        if (out.front_sent < sizeof(velantis::MessageHeader)) {
            logF->logger->error("Failed to send message header to client fd={}: {}", client_fd, std::strerror(e));
        } else {
            logF->logger->error("Failed to send payload to client fd={}: {}", client_fd, std::strerror(e));
        }
        failOutbox(out);
        return;
    }
}

// The client can no longer be served: nothing more is sent to it, and the server thread
// removes it (a broadcast removes it at once).
void UnixDomainSocketServer::failOutbox(Outbox& out) {
    out.failed = true;
    out.messages.clear();
    out.bytes = 0;
    wakeServerThread();
}

// send_mutex_ held.
void UnixDomainSocketServer::wakeServerThread() {
    const uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof(one));
}

// ---------------------------------------------------------------------------------------
// Dropping and removing clients

// Drops the clients in the middle of a message for too long, and those that took nothing
// of their queue for too long; then removes every client dropped since the last pass.
void UnixDomainSocketServer::dropStalledClients() {
    std::vector<int> stalled;
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        for (int fd : expiredInboxes()) {
            // What has arrived meanwhile first: the time may have gone to others' handlers
            // (each read may run a handler too, so the time is taken afresh).
            auto it = inboxes_.find(fd);
            if (it == inboxes_.end() || !it->second.started()) continue;
            if (!readFromClient(fd)) {
                stalled.push_back(fd);
                continue;
            }
            const Inbox& in = inboxes_[fd];
            if (!in.started() || servingNow() < in.begun + kReceiveTimeout) continue;
            logF->logger->warn("Timed out after {} ms waiting for a message from client fd={} on path {}",
                               velantis::kClientReceiveTimeoutMs, fd, socket_path_);
            warnIncomplete(fd, in);
            stalled.push_back(fd);
        }
    }
    {
        std::lock_guard<std::mutex> guard(send_mutex_);
        for (auto& [fd, out] : outboxes_) {
            if (out.failed || out.messages.empty() || servingNow() < out.progressed + kSendTimeout) continue;
            // Whatever room the client has made meanwhile first.
            flushOutbox(fd, out);
            if (out.failed || out.messages.empty() || servingNow() < out.progressed + kSendTimeout) continue;
            logF->logger->warn("Dropping client fd={} on path {}: it took no message within {} ms", fd, socket_path_,
                               velantis::kClientSendTimeoutMs);
            failOutbox(out);
        }
    }
    for (int fd : stalled) closeClient(fd);
    removeFailedClients();
}

// Clients in the middle of a message for longer than allowed. clients_mutex_ held.
std::vector<int> UnixDomainSocketServer::expiredInboxes() {
    std::vector<int> expired;
    const auto now = servingNow();
    for (const auto& [fd, in] : inboxes_) {
        if (in.started() && now >= in.begun + kReceiveTimeout) expired.push_back(fd);
    }
    return expired;
}

// Removes the clients dropped for sending, and those that had finished sending once
// their queue is empty.
void UnixDomainSocketServer::removeFailedClients() {
    std::vector<int> done;
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        std::lock_guard<std::mutex> sending(send_mutex_);
        for (const auto& [fd, out] : outboxes_) {
            if (out.failed) done.push_back(fd);
        }
        for (const auto& [fd, in] : inboxes_) {
            if (!in.ended) continue;
            auto it = outboxes_.find(fd);
            if (it != outboxes_.end() && !it->second.failed && it->second.messages.empty()) done.push_back(fd);
        }
    }
    for (int fd : done) closeClient(fd);
}

// Server thread, outside a read pass: nothing else holds the descriptor, so it is
// closed at once.
void UnixDomainSocketServer::closeClient(int client_fd) {
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        // Not (or no longer) ours: a broadcast has dropped it already.
        if (!forgetClientLocked(client_fd)) return;
        ::close(client_fd);
    }
    announceRemoval(client_fd);
}

// Any thread, clients_mutex_ held. The server thread may still hold the descriptor (in
// onClientConnected, which runs without the lock): end the connection now, and let the
// server thread close it.
void UnixDomainSocketServer::dropClientLocked(int client_fd) {
    if (!forgetClientLocked(client_fd)) return;
    ::shutdown(client_fd, SHUT_RDWR);
    dropped_.push_back(client_fd);
    announceRemoval(client_fd);
}

// Takes the client off every list; false if it was on none. clients_mutex_ held.
bool UnixDomainSocketServer::forgetClientLocked(int client_fd) {
    auto it = std::remove(clients_.begin(), clients_.end(), client_fd);
    if (it == clients_.end()) return false;
    clients_.erase(it, clients_.end());
    inboxes_.erase(client_fd);
    std::lock_guard<std::mutex> guard(send_mutex_);
    outboxes_.erase(client_fd);
    return true;
}

void UnixDomainSocketServer::announceRemoval(int client_fd) {
    logF->logger->info("Client disconnected: fd={} from path {}", client_fd, socket_path_);
    timed([&] { onClientDisconnected(client_fd); });
}

void UnixDomainSocketServer::closeDroppedLocked() {
    for (int fd : dropped_) ::close(fd);
    dropped_.clear();
}

// ---------------------------------------------------------------------------------------
// Stop

void UnixDomainSocketServer::stop() {
    if (t_serving == this) {
        logF->logger->error("stop() called on the server thread for path {}; ignored", socket_path_);
        return;
    }
    std::lock_guard<std::mutex> stopping(stop_mutex_);
    if (!endServerThread()) return;
    onCleanup();
    closeAll();
}

// The first steps of a stop, stop_mutex_ held: false when the server is not running.
bool UnixDomainSocketServer::endServerThread() {
    if (!running_.exchange(false)) return false;
    if (server_fd_ != -1) ::shutdown(server_fd_, SHUT_RDWR);
    if (server_thread_.joinable()) server_thread_.join();
    return true;
}

// The last steps of a stop, stop_mutex_ held.
void UnixDomainSocketServer::closeAll() {
    flushBeforeClose();
    cleanup();
    logF->logger->info("Server stopped for path: {}", socket_path_);
}

// Sends what is queued for the clients, waiting at most kClientSendTimeoutMs in all for
// them to take it; the server thread has ended.
void UnixDomainSocketServer::flushBeforeClose() {
    const auto deadline = Clock::now() + kSendTimeout;
    for (;;) {
        std::vector<pollfd> waiting;
        {
            std::lock_guard<std::mutex> guard(send_mutex_);
            for (auto& [fd, out] : outboxes_) {
                if (out.failed || out.messages.empty()) continue;
                flushOutbox(fd, out);
                if (!out.failed && !out.messages.empty()) waiting.push_back(pollfd{fd, POLLOUT, 0});
            }
            if (!waiting.empty() && Clock::now() >= deadline) {
                for (const pollfd& p : waiting) {
                    logF->logger->warn("Closing client fd={} on path {} with {} bytes it did not take within {} ms",
                                       p.fd, socket_path_, outboxes_[p.fd].bytes, velantis::kClientSendTimeoutMs);
                }
                return;
            }
        }
        if (waiting.empty()) return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count() + 1;
        ::poll(waiting.data(), waiting.size(), static_cast<int>(std::max<int64_t>(left, 1)));
    }
}

void UnixDomainSocketServer::cleanup() {
    {
        std::lock_guard<std::mutex> guard(clients_mutex_);
        for (int fd : clients_) ::close(fd);
        clients_.clear();
        inboxes_.clear();
        closeDroppedLocked();
        std::lock_guard<std::mutex> sending(send_mutex_);
        outboxes_.clear();
        if (wake_fd_ != -1) ::close(wake_fd_);
        wake_fd_ = -1;
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
