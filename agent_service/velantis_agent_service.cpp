// Service supervisor: keeps the speech server and the wake-word server running
// until the host stops the service.
#include "agent_service/velantis_agent_service.h"

#include <chrono>
#include <exception>
#include <memory>

#include "agent_service/kokoro_tts_server.h"
#include "agent_service/wakeword_server.h"
#include "common/log_utils.h"

std::atomic<bool> g_shutdown_requested{false};
std::mutex g_main_mutex;
std::condition_variable g_main_cv;
std::thread g_tts_thread;
std::thread g_wakeword_thread;

namespace {

// The supervisors wait here for the end of the service while their server runs.
std::mutex s_stop_mutex;
std::condition_variable s_stop_cv;

// True while a startService call is inside the library. A second call meanwhile is refused
// with an error line: it would otherwise move new supervisors into the thread globals that
// still hold the running ones, which ends the process.
std::atomic<bool> s_service_active{false};

constexpr auto kCrashPause = std::chrono::seconds(5);

void waitForShutdown() {
    std::unique_lock<std::mutex> lock(s_stop_mutex);
    s_stop_cv.wait(lock, [] { return g_shutdown_requested.load(); });
}

void requestShutdown() {
    {
        std::lock_guard<std::mutex> lock(g_main_mutex);
        g_shutdown_requested = true;
    }
    g_main_cv.notify_all();
    { std::lock_guard<std::mutex> lock(s_stop_mutex); }
    s_stop_cv.notify_all();
}

struct TtsSupervision {
    using Server = KokoroTtsServer;
    static void logStart() { logF->logger->info("Starting Kokoro TTS server..."); }
    static void logCrash(const char* what) {
        logF->logger->error("KokoroTtsServer crashed: {}. Restarting in 5 seconds...", what);
    }
    static void logShutdown() { logF->logger->info("Kokoro TTS server thread has shut down."); }
    static void finish(std::unique_ptr<Server> server) { server->stop(); }
};

struct WakeWordSupervision {
    using Server = WakeWordServer;
    static void logStart() { logF->logger->info("Starting WakeWord server..."); }
    static void logCrash(const char* what) {
        logF->logger->error("WakeWordServer crashed: {}. Restarting in 5 seconds...", what);
    }
    static void logShutdown() { logF->logger->info("WakeWord server thread has shut down."); }
    // The link outlives the server: stop() hands a link that is still reading the board
    // over to the process, so a later server in this process serves the same link.
    static void finish(std::unique_ptr<Server> server) { server->stop(); }
};

// A server thread that could not be created shows only as a failed start. When no thread
// can be created now, that is a crash (std::system_error): the supervisor pauses instead
// of rebuilding the server, and reloading its model, at once.
void requireThreads() {
    std::thread([] {}).join();
}

// Builds, runs and rebuilds one server until the service is stopped.
template <class Supervision>
void supervise() {
    for (;;) {
        if (g_shutdown_requested.load()) {
            Supervision::logShutdown();
            return;
        }
        try {
            Supervision::logStart();
            auto server = std::make_unique<typename Supervision::Server>();
            if (server->start()) {
                waitForShutdown();
                Supervision::finish(std::move(server));
            } else {
                requireThreads();
            }
        } catch (const std::exception& e) {
            Supervision::logCrash(e.what());
            std::this_thread::sleep_for(kCrashPause);
        }
    }
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
        g_tts_thread = std::thread(supervise<TtsSupervision>);
        g_wakeword_thread = std::thread(supervise<WakeWordSupervision>);
        logF->logger->info("All services are running with auto-restart enabled.");
        {
            std::unique_lock<std::mutex> lock(g_main_mutex);
            g_main_cv.wait(lock, [] { return g_shutdown_requested.load(); });
        }
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
            s_stop_cv.notify_all();
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
