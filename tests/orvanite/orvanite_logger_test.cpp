// The process-wide logger, seen from real processes: which definition builds the one instance,
// the file it writes and what happens when it cannot.
#include "tests/orvanite/test_support.h"

#include <gtest/gtest.h>

#include <fstream>

using orvanite_test::bin;
using orvanite_test::fileLog;
using orvanite_test::has;
using orvanite_test::Level;
using test_support::countLog;
using test_support::readFile;
using namespace std::chrono_literals;

namespace {

const char* const START = "------------ file_logger start ------------";

class OrvaniteLogger : public ::testing::Test {
protected:
    // Runs a probe program in the directory and expects it to end well.
    void run_probe(const std::vector<std::string>& argv) {
        test_support::Process child(orvanite_test::in_dir(argv, dir_.path()));
        EXPECT_EQ(child.wait(20s), 0) << argv[0] << "\n" << child.err();
        EXPECT_NE(child.out().find("probe done\n"), std::string::npos) << child.out() << child.err();
        out_ = child.out();
        err_ = child.err();
    }
    // The two banners open the file: start (E, logger name) then the version (I).
    std::vector<test_support::LogEntry> expect_banners_first(const std::string& version_line) {
        auto log = fileLog(path_);
        EXPECT_TRUE(log.size() >= 2 && log[0].level == Level::err && log[0].text == START &&
                    log[1].level == Level::info && log[1].text == version_line)
            << readFile(path_);
        EXPECT_EQ(countLog(log, Level::err, START), 1u);
        return log;
    }

    const std::string liborvanite_ = test_support::binaryDir() + "/lib/liborvanite.so";
    test_support::TempDir dir_{"orvanite-test"};
    const std::string path_ = dir_ / "logs/basic-log.txt";
    std::string out_, err_;
};

TEST_F(OrvaniteLogger, AgentDefinitionWinsOverTheLibrarysAndCreatesTheFile) {
    run_probe({bin("orvanite_link_host"), "probe"});
    auto log = expect_banners_first("------------  VERSION 0.1.1 ------------");
    EXPECT_EQ(countLog(log, Level::info, "------------ ORVANITE VERSION 0.1.2 ------------"), 0u);
    EXPECT_TRUE(has(log, Level::info, "probe info line"));
    EXPECT_EQ(readFile(path_).find("probe debug line"), std::string::npos);
    // The library logs into the same file through the same instance.
    EXPECT_TRUE(has(log, Level::err, "UartConnector is null, failed to send [probe] to orvanite."));
    EXPECT_NE(out_.find("flushed\n"), std::string::npos) << "an info line is on disk when the call returns";

    // Every line in the format, at E, I or W, from the one logging thread.
    const std::string first = readFile(path_);
    EXPECT_EQ(log.size(), test_support::splitLines(first).size()) << first;
    for (const auto& l : log) {
        EXPECT_TRUE(l.level == Level::err || l.level == Level::info || l.level == Level::warn) << l.text;
        EXPECT_EQ(l.thread, log[0].thread);
    }

    // A second run appends behind the first.
    run_probe({bin("orvanite_link_host"), "probe"});
    const std::string both = readFile(path_);
    ASSERT_GT(both.size(), first.size());
    EXPECT_EQ(both.compare(0, first.size(), first), 0);
    log = fileLog(path_);
    EXPECT_EQ(countLog(log, Level::err, START), 2u);
    EXPECT_EQ(countLog(log, Level::info, "------------  VERSION 0.1.1 ------------"), 2u);
}

TEST_F(OrvaniteLogger, LibraryLoadedAloneWritesItsOwnBanner) {
    run_probe({bin("orvanite_probe_dlopen"), liborvanite_});
    EXPECT_NE(out_.find("sent 0\n"), std::string::npos);
    auto log = expect_banners_first("------------ ORVANITE VERSION 0.1.2 ------------");
    EXPECT_TRUE(has(log, Level::err, "UartConnector is null, failed to send [probe] to orvanite."));
}

TEST_F(OrvaniteLogger, ServiceStyleLibraryDefinitionWinsInItsHost) {
    run_probe({bin("orvanite_probe_service_host")});
    auto log = expect_banners_first("------------  VERSION velantis_agent_VERSION ------------");
    EXPECT_EQ(countLog(log, Level::info, "------------  VERSION velantis_agent_VERSION ------------"), 1u);
    EXPECT_TRUE(has(log, Level::info, "probe service line"));
    EXPECT_TRUE(has(log, Level::err, "UartConnector is null, failed to send [probe service line] to orvanite."));
}

TEST_F(OrvaniteLogger, UnwritableLogDirectoryIsReportedAndSurvived) {
    // "logs" is a plain file: the log file cannot be made, whoever runs the test.
    std::ofstream(dir_ / "logs") << "not a directory\n";
    run_probe({bin("orvanite_link_host"), "probe"});
    EXPECT_EQ(err_.rfind("log_util construction failed: ", 0), 0u) << err_;
    EXPECT_EQ(err_.back(), '\n');
    EXPECT_EQ(readFile(dir_ / "logs"), "not a directory\n");

    run_probe({bin("orvanite_probe_dlopen"), liborvanite_});
    EXPECT_NE(err_.find("log_util construction failed: "), std::string::npos) << err_;
}

}  // namespace
