// The process-wide logger, seen from real processes: which definition builds the one instance,
// the file it writes and what happens when it cannot.
#include "tests/orvanite/test_support.h"

#include <gtest/gtest.h>

using orvanite_test::LogFile;
using namespace std::chrono_literals;

namespace {

std::string bin(const std::string& name) { return test_support::binaryDir() + "/bin/" + name; }
std::string liborvanite() { return test_support::binaryDir() + "/lib/liborvanite.so"; }

const char* const START = "------------ file_logger start ------------";

// Runs a probe program in dir and expects it to end well.
void run_probe(const std::vector<std::string>& argv, const std::string& dir, std::string* err = nullptr,
               std::string* out = nullptr) {
    test_support::Process child(orvanite_test::in_dir(argv, dir));
    int status = child.wait(20s);
    EXPECT_EQ(status, 0) << argv[0] << "\n" << child.err();
    EXPECT_NE(child.out().find("probe done\n"), std::string::npos) << child.out() << child.err();
    if (err) *err = child.err();
    if (out) *out = child.out();
}

// The two banners open the file: start (E, logger name) then the version (I).
void expect_banners_first(const std::string& dir, const std::string& version_line) {
    LogFile log(dir + "/logs/basic-log.txt");
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u) << log.raw();
    EXPECT_EQ(lines[0].level, 'E');
    EXPECT_EQ(lines[0].text, START);
    EXPECT_EQ(lines[1].level, 'I');
    EXPECT_EQ(lines[1].text, version_line);
    EXPECT_EQ(log.count('E', START), 1u) << log.raw();
}

TEST(OrvaniteLogger, AgentDefinitionWinsOverTheLibrarysAndCreatesTheFile) {
    test_support::TempDir dir{"orvanite-test"};
    std::string out;
    run_probe({bin("orvanite_probe_agent")}, dir.path(), nullptr, &out);
    expect_banners_first(dir.path(), "------------  VERSION 0.1.1 ------------");

    LogFile log(dir / "logs/basic-log.txt");
    EXPECT_EQ(log.count('I', "------------ ORVANITE VERSION 0.1.2 ------------"), 0u);
    EXPECT_TRUE(log.has('I', "probe info line"));
    EXPECT_FALSE(log.has('D', "probe debug line"));
    EXPECT_EQ(log.raw().find("probe debug line"), std::string::npos);
    // The library logs into the same file through the same instance.
    EXPECT_TRUE(log.has('E', "UartConnector is null, failed to send [probe] to orvanite."));
    EXPECT_NE(out.find("flushed\n"), std::string::npos) << "an info line is on disk when the call returns";

    // Line format, with the logging thread's id.
    std::istringstream raw(log.raw());
    std::string line;
    orvanite_test::LogLine parsed;
    while (std::getline(raw, line)) {
        EXPECT_TRUE(orvanite_test::parse_log_line(line, parsed)) << line;
        EXPECT_NE(std::string("EIW").find(parsed.level), std::string::npos) << line;
    }
    auto lines = log.lines();
    for (const auto& l : lines) EXPECT_EQ(l.tid, lines[0].tid);

    // A second run appends behind the first.
    std::string first = log.raw();
    run_probe({bin("orvanite_probe_agent")}, dir.path());
    std::string both = log.raw();
    ASSERT_GT(both.size(), first.size());
    EXPECT_EQ(both.compare(0, first.size(), first), 0);
    EXPECT_EQ(log.count('E', START), 2u);
    EXPECT_EQ(log.count('I', "------------  VERSION 0.1.1 ------------"), 2u);
}

TEST(OrvaniteLogger, LibraryLoadedAloneWritesItsOwnBanner) {
    test_support::TempDir dir{"orvanite-test"};
    std::string out;
    run_probe({bin("orvanite_probe_dlopen"), liborvanite()}, dir.path(), nullptr, &out);
    EXPECT_NE(out.find("sent 0\n"), std::string::npos);
    expect_banners_first(dir.path(), "------------ ORVANITE VERSION 0.1.2 ------------");
    LogFile log(dir / "logs/basic-log.txt");
    EXPECT_TRUE(log.has('E', "UartConnector is null, failed to send [probe] to orvanite."));
}

TEST(OrvaniteLogger, ServiceStyleLibraryDefinitionWinsInItsHost) {
    test_support::TempDir dir{"orvanite-test"};
    run_probe({bin("orvanite_probe_service_host")}, dir.path());
    expect_banners_first(dir.path(), "------------  VERSION velantis_agent_VERSION ------------");
    LogFile log(dir / "logs/basic-log.txt");
    EXPECT_EQ(log.count('I', "------------  VERSION velantis_agent_VERSION ------------"), 1u);
    EXPECT_TRUE(log.has('I', "probe service line"));
    EXPECT_TRUE(log.has('E', "UartConnector is null, failed to send [probe service line] to orvanite."));
}

TEST(OrvaniteLogger, UnwritableLogDirectoryIsReportedAndSurvived) {
    test_support::TempDir dir{"orvanite-test"};
    {
        // "logs" is a plain file: the log file cannot be made, whoever runs the test.
        std::ofstream blocker(dir / "logs");
        blocker << "not a directory\n";
    }
    std::string err;
    run_probe({bin("orvanite_probe_agent")}, dir.path(), &err);
    EXPECT_EQ(err.rfind("log_util construction failed: ", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');
    std::ifstream blocker(dir / "logs");
    std::string content((std::istreambuf_iterator<char>(blocker)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "not a directory\n");

    run_probe({bin("orvanite_probe_dlopen"), liborvanite()}, dir.path(), &err);
    EXPECT_NE(err.find("log_util construction failed: "), std::string::npos) << err;
}

}  // namespace
