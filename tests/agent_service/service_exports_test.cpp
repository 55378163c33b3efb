// The library's dynamic symbol table holds its host interface and nothing by accident.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

std::set<std::string> exportedNames(const std::string& library) {
    test_support::TempDir dir("service-exports");
    test_support::ProcessOptions o;
    o.argv = {"/usr/bin/nm", "-D", "--defined-only", "-C", library};
    o.stdoutPath = dir / "nm.txt";
    test_support::Process nm(o);
    EXPECT_EQ(nm.wait(std::chrono::seconds(30)), 0) << nm.err();
    std::set<std::string> names;
    for (const auto& line : test_support::splitLines(nm.out())) {
        // "<address> <type> <name>"
        auto second = line.find(' ', line.find(' ') + 1);
        if (line.find(' ') != std::string::npos && second != std::string::npos) names.insert(line.substr(second + 1));
    }
    return names;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

TEST(ServiceExports, ExactlyTheHostInterface) {
    auto names = exportedNames(test_support::binaryDir() + "/lib/libvelantis_agent_service.so");
    ASSERT_FALSE(names.empty()) << "nm gave nothing";

    // Two names are too long for one line: each is two literals joined, not two names.
    // NOLINTBEGIN(bugprone-suspicious-missing-comma)
    const std::set<std::string> table{
        "velantis::startService()",
        "velantis::stopService()",
        "velantis::listenWakeWord(std::function<void (velantis::MessageHeader const&)>)",
        "velantis::stopWakeWordListening()",
        "velantis::sendTTSRequest(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > "
        "const&)",
        "velantis::runTavrinAgent()",
        "velantis::stopTavrinAgent()",
        "handleMessage(velantis::MessageHeader const&)",
        "sendMessage(int, velantis::MessageHeader const&, std::vector<unsigned char, std::allocator<unsigned char> > "
        "const&)",
        "init_soundcard(char const*)",
        "do_record()",
        "g_shutdown_requested",
        "g_main_mutex",
        "g_main_cv",
        "g_tts_thread",
        "g_wakeword_thread",
        "g_msg_id",
        "g_wakeword_client_fd",
        "g_kokoro_tts_client_fd",
        "record_running",
        "nchan",
        "srate",
        "encoder",
        "capture_handle",
        "logF",
    };
    // NOLINTEND(bugprone-suspicious-missing-comma)
    for (const auto& name : table) EXPECT_TRUE(names.count(name)) << "not exported: " << name;

    // Besides the table: the server classes, the speech engine and the logger bootstrap.
    const std::string classes[] = {"UnixDomainSocketServer", "WakeWordServer", "KokoroTtsServer", "TtsEngine",
                                   "log_utils"};
    for (const auto& name : names) {
        if (table.count(name)) continue;
        bool allowed = startsWith(name, "guard variable for logF") ||
                       startsWith(name, "guard variable for log_utils::") ||
                       startsWith(name, "guard variable for TtsEngine::");
        for (const auto& c : classes) {
            allowed = allowed || startsWith(name, c + "::") || name == "vtable for " + c ||
                      name == "typeinfo for " + c || name == "typeinfo name for " + c;
        }
        EXPECT_TRUE(allowed) << "exported by accident: " << name;
    }
}
