// fake_cloud: the fake cloud conversation service as a process of its own (see README.md).
#include "tests/rig/cloud/fake_cloud.h"
#include "tests/rig/cloud/ogg_opus.h"

#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

using namespace cloud_rig;

const char* const kUsage =
    "usage: fake_cloud --certs DIR [--host NAME] [--port N] [--port-file FILE] [--log FILE]\n"
    "                  [--auth TOKEN] [--script FILE] [--rule LINE]...\n"
    "  triggers: open, hello, text, binary (#n: only the n-th of each connection)\n"
    "  actions:  text <rest of line> | opus <seconds> [f0 f1] | binary-file <path> | ping [payload]\n"
    "            | close <code> [reason] | drop | wait <ms> | close-silent <code> [reason] | stop-reading | reset\n";

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), {}};
}

CloudAction parseAction(const std::string& action, const std::string& args) {
    if (action == "text") return CloudAction::text(args);
    if (action == "binary-file") return CloudAction::binary(readFile(args));
    if (action == "ping") return CloudAction::ping(args);
    if (action == "drop") return CloudAction::drop();
    if (action == "stop-reading") return CloudAction::stopReading();
    if (action == "reset") return CloudAction::reset();
    std::istringstream in(args);
    double number = -1;
    in >> number;
    if (action == "opus") {
        double f0 = 300, f1 = 3000;
        in >> f0 >> f1;
        if (number <= 0 || number > 600) throw std::runtime_error("opus needs seconds");
        return CloudAction::binary(encodeOggOpus(chirp(number, 48000, f0, f1)));
    }
    if (action == "wait") {
        if (number < 0) throw std::runtime_error("wait needs milliseconds");
        return CloudAction::wait(static_cast<int>(number));
    }
    if (action == "close" || action == "close-silent") {
        if (number < 1000 || number > 4999) throw std::runtime_error(action + " needs a code");
        std::string reason;
        std::getline(in, reason);
        return (action == "close" ? CloudAction::close : CloudAction::closeSilently)(static_cast<uint16_t>(number),
                                                                                     trim(reason));
    }
    throw std::runtime_error("unknown action '" + action + "'");
}

// One script line into a rule; throws std::runtime_error with the reason.
CloudRule parseRule(const std::string& line) {
    static const std::map<std::string, CloudTrigger> triggers = {{"open", CloudTrigger::Open},
                                                                 {"hello", CloudTrigger::Hello},
                                                                 {"text", CloudTrigger::Text},
                                                                 {"binary", CloudTrigger::Binary}};
    const size_t colon = line.find(':');
    if (colon == std::string::npos) throw std::runtime_error("missing ':'");
    std::string when = trim(line.substr(0, colon));
    const std::string what = trim(line.substr(colon + 1));
    CloudRule rule;
    const size_t hash = when.find('#');
    if (hash != std::string::npos) {
        rule.nth = std::stoi(when.substr(hash + 1));
        if (rule.nth < 1) throw std::runtime_error("#n must be 1 or more");
        when = when.substr(0, hash);
    }
    if (!triggers.count(when)) throw std::runtime_error("unknown trigger '" + when + "'");
    rule.on = triggers.at(when);
    const size_t space = what.find(' ');
    rule.actions = {parseAction(what.substr(0, space), space == std::string::npos ? "" : trim(what.substr(space)))};
    return rule;
}

}  // namespace

int main(int argc, char** argv) {
    FakeCloud::Options options;
    std::string certs, host = "localhost", port = "0", portFile;
    const std::map<std::string, std::string*> values = {
        {"--certs", &certs},        {"--host", &host},           {"--port", &port},
        {"--port-file", &portFile}, {"--log", &options.logFile}, {"--auth", &options.requiredAuthorization}};
    std::vector<std::pair<std::string, std::string>> lines;  // (where, text)
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            if (!values.count(a) && a != "--rule" && a != "--script") throw std::runtime_error("unknown option " + a);
            if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
            const std::string value = argv[++i];
            if (a == "--rule") {
                lines.emplace_back(a, value);
            } else if (a == "--script") {
                std::istringstream in(readFile(value));
                std::string line;
                for (int n = 1; std::getline(in, line); ++n) lines.emplace_back(value + ":" + std::to_string(n), line);
            } else {
                *values.at(a) = value;
            }
        }
        const int n = std::stoi(port);
        if (certs.empty() || n < 0 || n > 65535) throw std::runtime_error("--certs DIR needed, --port 0 to 65535");
        options.port = static_cast<uint16_t>(n);
    } catch (const std::exception& e) {
        std::cerr << "fake_cloud: " << e.what() << "\n" << kUsage;
        return 2;
    }

    options.certFile = certs + "/server.pem";
    options.keyFile = certs + "/server.key";
    FakeCloud cloud(options);
    for (const auto& [where, text] : lines) {
        const std::string line = trim(text);
        if (line.empty() || line[0] == '#') continue;
        try {
            cloud.addRule(parseRule(line));
        } catch (const std::exception& e) {
            std::cerr << "fake_cloud: " << where << ": " << e.what() << ": " << line << "\n";
            return 2;
        }
    }
    try {
        if (access((certs + "/ca.pem").c_str(), F_OK) != 0) makeCloudCertificates(certs, host);
    } catch (const std::exception& e) {
        std::cerr << "fake_cloud: " << e.what() << "\n";
        return 1;
    }

    // Blocked here, so in the server's thread too, and taken by sigwait below.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    if (!cloud.start()) {
        std::cerr << "fake_cloud: cannot start: " << cloud.error() << "\n";
        return 1;
    }
    if (!portFile.empty()) {
        std::ofstream(portFile + ".tmp") << cloud.port() << "\n";
        std::rename((portFile + ".tmp").c_str(), portFile.c_str());
    }
    std::cout << "listening on 127.0.0.1:" << cloud.port() << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    cloud.stop();
    return 0;
}
