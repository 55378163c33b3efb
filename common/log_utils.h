// Process-wide file logger. Every deliverable compiles this header in; within one
// process all modules bind to one definition (GNU unique symbols), so the first
// static initialiser that reaches logF builds the single instance.
// A unit linked into several deliverables is compiled with LOG_UTILS_SHARED: it logs
// through logF, and the bootstrap with its banner comes from the deliverable's own units.
// Under systemd (standard error is the journal) warnings and errors also go to the journal.
#pragma once

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#if !defined(LOG_UTILS_SHARED)
#include <errno.h>
#include <spdlog/sinks/systemd_sink.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#endif

#include <exception>
#include <iostream>
#include <memory>
#include <mutex>

#if defined(LOG_UTILS_AGENT)
#define LOG_UTILS_BANNER "------------  VERSION {} ------------"
#define LOG_UTILS_VERSION "0.1.1"
#elif defined(LOG_UTILS_SERVICE)
#define LOG_UTILS_BANNER "------------  VERSION {} ------------"
#define LOG_UTILS_VERSION "velantis_agent_VERSION"
#elif defined(LOG_UTILS_ORVANITE)
#define LOG_UTILS_BANNER "------------ ORVANITE VERSION {} ------------"
#define LOG_UTILS_VERSION "0.1.2"
#elif !defined(LOG_UTILS_SHARED)
#error "define LOG_UTILS_AGENT, LOG_UTILS_SERVICE, LOG_UTILS_ORVANITE or LOG_UTILS_SHARED (see velantis_logger)"
#endif

class log_utils {
public:
    std::shared_ptr<spdlog::logger> logger;
    int level;

#if defined(LOG_UTILS_SHARED)
    static log_utils& instance();
    log_utils();
#else
    // Never inlined: a library's call must reach, through the dynamic linker, the
    // definition that the process's symbol lookup finds first.
    __attribute__((noinline)) static log_utils& instance() {
        static log_utils inst;
        return inst;
    }

    __attribute__((noinline)) log_utils() : level(spdlog::level::info) {
        try {
            logger = spdlog::synchronous_factory::create<spdlog::sinks::basic_file_sink<std::mutex>>(
                "file_logger", "logs/basic-log.txt", false);
            spdlog::set_pattern("[%Y%m%d %H:%M:%S.%e] [tid %t] %L %v", spdlog::pattern_time_type::local);
            spdlog::flush_on(static_cast<spdlog::level::level_enum>(level));
            spdlog::set_level(static_cast<spdlog::level::level_enum>(level));
            logger->error("------------ {} start ------------", logger->name());
            logger->info(LOG_UTILS_BANNER, LOG_UTILS_VERSION);
        } catch (const std::exception& e) {
            std::cerr << "log_util construction failed: " << e.what() << std::endl;
        }
        // Code logs through logF->logger unconditionally: without a file, log into nothing.
        if (!logger) {
            logger = std::make_shared<spdlog::logger>("file_logger");
        }
        if (stderrIsJournal()) {
            auto journal = std::make_shared<spdlog::sinks::systemd_sink_mt>(program_invocation_short_name, false);
            journal->set_level(spdlog::level::warn);
            logger->sinks().push_back(std::move(journal));
        }
    }

    // True when systemd connected standard error to the journal: JOURNAL_STREAM names
    // its device and inode.
    static bool stderrIsJournal() {
        const char* stream = std::getenv("JOURNAL_STREAM");
        unsigned long long dev = 0;
        unsigned long long ino = 0;
        struct stat st {};
        return stream && std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && ::fstat(STDERR_FILENO, &st) == 0 &&
               st.st_dev == dev && st.st_ino == ino;
    }
#endif

    ~log_utils() { logger.reset(); }

    log_utils(const log_utils&) = delete;
    log_utils& operator=(const log_utils&) = delete;
};

inline log_utils* logF = &log_utils::instance();
