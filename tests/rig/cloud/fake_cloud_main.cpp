// fake_cloud: the fake cloud conversation service as a process of its own.
//
//   fake_cloud --certs DIR [--host NAME] [--port N] [--port-file FILE] [--log FILE]
//              [--auth TOKEN] [--no-deflate] [--silent tls|upgrade] [--script FILE] [--rule "LINE"]...
//
// Makes the throw-away certificates in DIR when DIR/ca.pem is missing. Prints
// "listening on 127.0.0.1:<port>" and writes the port to --port-file, then serves until
// SIGINT or SIGTERM. Script lines (file or --rule) are "<trigger>[#n]: <action> [args]":
//   triggers: open, hello, text, binary (#n: only the n-th of each connection)
//   actions:  text <rest of line> | opus <seconds> [f0 f1] | binary-file <path>
//             | ping [payload] | close <code> [reason] | drop | wait <ms>
//             | close-silent <code> [reason] | stop-reading | reset
// --silent: every connection goes silent before TLS, or before answering the upgrade.
// Lines starting with '#' and empty lines are skipped.
#include "tests/rig/cloud/fake_cloud.h"
#include "tests/rig/cloud/ogg_opus.h"

#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One script line into a rule; throws std::runtime_error with the reason.
cloud_rig::CloudRule parseRule(const std::string& line) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) throw std::runtime_error("missing ':'");
    std::string when = trim(line.substr(0, colon));
    std::string what = trim(line.substr(colon + 1));
    cloud_rig::CloudRule rule;
    size_t hash = when.find('#');
    if (hash != std::string::npos) {
        rule.nth = std::stoi(when.substr(hash + 1));
        if (rule.nth < 1) throw std::runtime_error("#n must be 1 or more");
        when = when.substr(0, hash);
    }
    if (when == "open")
        rule.on = cloud_rig::CloudTrigger::Open;
    else if (when == "hello")
        rule.on = cloud_rig::CloudTrigger::Hello;
    else if (when == "text")
        rule.on = cloud_rig::CloudTrigger::Text;
    else if (when == "binary")
        rule.on = cloud_rig::CloudTrigger::Binary;
    else
        throw std::runtime_error("unknown trigger '" + when + "'");

    size_t space = what.find(' ');
    std::string action = what.substr(0, space);
    std::string args = space == std::string::npos ? "" : trim(what.substr(space + 1));
    std::istringstream in(args);
    if (action == "text") {
        rule.actions.push_back(cloud_rig::CloudAction::text(args));
    } else if (action == "opus") {
        double seconds = 0, f0 = 300, f1 = 3000;
        if (!(in >> seconds) || seconds <= 0 || seconds > 600) throw std::runtime_error("opus needs seconds");
        in >> f0 >> f1;
        rule.actions.push_back(
            cloud_rig::CloudAction::binary(cloud_rig::encodeOggOpus(cloud_rig::chirp(seconds, 48000, f0, f1))));
    } else if (action == "binary-file") {
        rule.actions.push_back(cloud_rig::CloudAction::binary(readFile(args)));
    } else if (action == "ping") {
        rule.actions.push_back(cloud_rig::CloudAction::ping(args));
    } else if (action == "close" || action == "close-silent") {
        int code = 0;
        if (!(in >> code) || code < 1000 || code > 4999) throw std::runtime_error(action + " needs a code");
        std::string reason;
        std::getline(in, reason);
        const auto close = action == "close" ? cloud_rig::CloudAction::close : cloud_rig::CloudAction::closeSilently;
        rule.actions.push_back(close(static_cast<uint16_t>(code), trim(reason)));
    } else if (action == "stop-reading") {
        rule.actions.push_back(cloud_rig::CloudAction::stopReading());
    } else if (action == "reset") {
        rule.actions.push_back(cloud_rig::CloudAction::reset());
    } else if (action == "drop") {
        rule.actions.push_back(cloud_rig::CloudAction::drop());
    } else if (action == "wait") {
        int ms = -1;
        if (!(in >> ms) || ms < 0) throw std::runtime_error("wait needs milliseconds");
        rule.actions.push_back(cloud_rig::CloudAction::wait(ms));
    } else {
        throw std::runtime_error("unknown action '" + action + "'");
    }
    return rule;
}

int usage() {
    std::cerr << "usage: fake_cloud --certs DIR [--host NAME] [--port N] [--port-file FILE] [--log FILE]\n"
                 "                  [--auth TOKEN] [--no-deflate] [--silent tls|upgrade] [--script FILE]\n"
                 "                  [--rule LINE]...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string certs, host = "localhost", portFile, logFile, auth;
    int port = 0;
    bool deflate = true;
    cloud_rig::CloudSilence silence = cloud_rig::CloudSilence::None;
    std::vector<std::pair<std::string, std::string>> lines;  // (where, text)
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
                return argv[++i];
            };
            if (a == "--certs")
                certs = value();
            else if (a == "--host")
                host = value();
            else if (a == "--port")
                port = std::stoi(value());
            else if (a == "--port-file")
                portFile = value();
            else if (a == "--log")
                logFile = value();
            else if (a == "--auth")
                auth = value();
            else if (a == "--no-deflate")
                deflate = false;
            else if (a == "--silent") {
                std::string mode = value();
                if (mode == "tls")
                    silence = cloud_rig::CloudSilence::BeforeTls;
                else if (mode == "upgrade")
                    silence = cloud_rig::CloudSilence::BeforeUpgrade;
                else
                    throw std::runtime_error("--silent takes tls or upgrade");
            } else if (a == "--rule")
                lines.emplace_back("--rule", value());
            else if (a == "--script") {
                std::string path = value();
                std::istringstream in(readFile(path));
                std::string line;
                for (int n = 1; std::getline(in, line); ++n) lines.emplace_back(path + ":" + std::to_string(n), line);
            } else {
                std::cerr << "fake_cloud: unknown option " << a << "\n";
                return usage();
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "fake_cloud: " << e.what() << "\n";
        return usage();
    }
    if (certs.empty() || port < 0 || port > 65535) return usage();

    std::vector<cloud_rig::CloudRule> rules;
    for (const auto& [where, text] : lines) {
        std::string line = trim(text);
        if (line.empty() || line[0] == '#') continue;
        try {
            rules.push_back(parseRule(line));
        } catch (const std::exception& e) {
            std::cerr << "fake_cloud: " << where << ": " << e.what() << ": " << line << "\n";
            return 2;
        }
    }

    struct stat st {};
    if (stat((certs + "/ca.pem").c_str(), &st) != 0) {
        try {
            cloud_rig::makeCloudCertificates(certs, host);
        } catch (const std::exception& e) {
            std::cerr << "fake_cloud: " << e.what() << "\n";
            return 1;
        }
    }

    cloud_rig::FakeCloud::Options options;
    options.certFile = certs + "/server.pem";
    options.keyFile = certs + "/server.key";
    options.requiredAuthorization = auth;
    options.deflate = deflate;
    options.port = static_cast<uint16_t>(port);
    options.logFile = logFile;
    cloud_rig::FakeCloud cloud(options);
    for (auto& r : rules) cloud.addRule(std::move(r));
    cloud.silence(silence);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    if (!cloud.start()) {
        std::cerr << "fake_cloud: cannot start: " << cloud.error() << "\n";
        return 1;
    }
    if (!portFile.empty()) {
        std::string tmp = portFile + ".tmp";
        {
            std::ofstream out(tmp);
            out << cloud.port() << "\n";
        }
        std::rename(tmp.c_str(), portFile.c_str());
    }
    std::cout << "listening on 127.0.0.1:" << cloud.port() << std::endl;
    while (!g_stop) usleep(20000);
    cloud.stop();
    return 0;
}
