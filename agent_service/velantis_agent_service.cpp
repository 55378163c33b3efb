// Service supervisor: keeps the speech server and the wake-word server running
// until the host stops the service.
#include "agent_service/velantis_agent_service.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "agent_service/kokoro_tts_server.h"
#include "agent_service/wakeword_server.h"
#include "common/log_utils.h"

std::atomic<bool> g_shutdown_requested{false};
std::mutex g_main_mutex;
std::condition_variable g_main_cv;
std::thread g_tts_thread;
std::thread g_wakeword_thread;

namespace {

// True while a startService call is inside the library. A second call meanwhile is refused
// with an error line: it would otherwise move new supervisors into the thread globals that
// still hold the running ones, which ends the process.
std::atomic<bool> s_service_active{false};

constexpr auto kCrashPause = std::chrono::seconds(5);

// The one stop signal: g_shutdown_requested, set under g_main_mutex and announced on
// g_main_cv, on which startService and both supervisors wait.
void waitForShutdown() {
    std::unique_lock<std::mutex> lock(g_main_mutex);
    g_main_cv.wait(lock, [] { return g_shutdown_requested.load(); });
}

void requestShutdown() {
    {
        std::lock_guard<std::mutex> lock(g_main_mutex);
        g_shutdown_requested = true;
    }
    g_main_cv.notify_all();
}

// What tells one supervisor from the other.
struct SupervisedServer {
    const char* name;  // in the crash line
    const char* start_line;
    const char* shutdown_line;
    std::unique_ptr<UnixDomainSocketServer> (*build)();
};

template <class Server>
std::unique_ptr<UnixDomainSocketServer> buildServer() {
    return std::make_unique<Server>();
}

// WakeWordServer's stop() hands a link that is still reading the board over to the
// process, so a later server in this process serves the same link.
const SupervisedServer kTtsServer{"KokoroTtsServer", "Starting Kokoro TTS server...",
                                  "Kokoro TTS server thread has shut down.", &buildServer<KokoroTtsServer>};
const SupervisedServer kWakeWordServer{"WakeWordServer", "Starting WakeWord server...",
                                       "WakeWord server thread has shut down.", &buildServer<WakeWordServer>};

// Builds one server and serves until shutdown. A server that could not start is
// destroyed and the next one built at once, except when its thread could not be
// created: that is a crash, returned as its reason, so that the supervisor pauses
// instead of rebuilding the server (and reloading its model) at once.
std::optional<std::string> serveOnce(const SupervisedServer& supervised) {
    logF->logger->info("{}", supervised.start_line);
    auto server = supervised.build();
    if (server->start()) {
        waitForShutdown();
        server->stop();
        return std::nullopt;
    }
    const auto& failure = server->startFailure();
    if (failure.step != UnixDomainSocketServer::StartFailure::Thread) return std::nullopt;
    return failure.reason;
}

// Builds, runs and rebuilds one server until the service is stopped.
void supervise(const SupervisedServer& supervised) {
    while (!g_shutdown_requested.load()) {
        std::optional<std::string> crash;
        try {
            crash = serveOnce(supervised);
        } catch (const std::exception& e) {
            crash = e.what();
        }
        if (crash) {
            logF->logger->error("{} crashed: {}. Restarting in 5 seconds...", supervised.name, *crash);
            std::this_thread::sleep_for(kCrashPause);
        }
    }
    logF->logger->info("{}", supervised.shutdown_line);
}

void joinIfRunning(std::thread& t) {
    if (!t.joinable()) return;
    try {
        t.join();
    } catch (const std::exception& e) {
        logF->logger->error("Failed to join a supervisor thread: {}", e.what());
        t.detach();
    }
}

}  // namespace

namespace velantis {

void startService() {
    if (s_service_active.exchange(true)) {
        logF->logger->error("Velantis Agent Service is already running.");
        return;
    }
    try {
        logF->logger->info("Starting Velantis Agent Service...");
        g_tts_thread = std::thread(supervise, std::cref(kTtsServer));
        g_wakeword_thread = std::thread(supervise, std::cref(kWakeWordServer));
        logF->logger->info("All services are running with auto-restart enabled.");
        waitForShutdown();
        if (g_tts_thread.joinable()) g_tts_thread.join();
        if (g_wakeword_thread.joinable()) g_wakeword_thread.join();
        logF->logger->info("Velantis Agent Service stopped.");
    } catch (const std::exception& e) {
        logF->logger->error("Velantis Agent Service failed to start: {}", e.what());
        // A supervisor that did start ends only at shutdown: shut the service down so that
        // no thread global is left joinable.
        try {
            requestShutdown();
        } catch (const std::exception&) {
            g_shutdown_requested = true;
            g_main_cv.notify_all();
        }
        joinIfRunning(g_tts_thread);
        joinIfRunning(g_wakeword_thread);
    }
    s_service_active = false;
}

void stopService() {
    logF->logger->info("Stopping Velantis Agent Service...");
    requestShutdown();
}

}  // namespace velantis
