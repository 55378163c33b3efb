// libvelantis_agent_service's interface, loaded with dlopen and resolved by symbol name.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <string>

#include "common/unix_domain_socket_server.h"

struct ServiceLibrary {
    using WakeWordCallback = std::function<void(const velantis::MessageHeader&)>;

    void* handle = nullptr;
    void (*startService)() = nullptr;
    void (*stopService)() = nullptr;
    bool (*listenWakeWord)(WakeWordCallback) = nullptr;
    void (*stopWakeWordListening)() = nullptr;
    bool (*sendTTSRequest)(const std::string&) = nullptr;
    bool (*runTavrinAgent)() = nullptr;
    bool (*stopTavrinAgent)() = nullptr;

    // A function or global of the library.
    template <class F>
    bool resolve(F& fn, const char* symbol) {
        fn = reinterpret_cast<F>(dlsym(handle, symbol));
        if (!fn) std::cerr << "host: missing symbol " << symbol << std::endl;
        return fn != nullptr;
    }

    bool load() {
        // Beside this program as installed ("$ORIGIN/../lib"), else wherever the loader looks.
        std::string path = "libvelantis_agent_service.so";
        char exe[4096];
        ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n > 0) {
            exe[n] = '\0';
            std::string dir(exe);
            std::string candidate = dir.substr(0, dir.rfind('/')) + "/../lib/" + path;
            if (access(candidate.c_str(), R_OK) == 0) path = candidate;
        }
        handle = dlopen(path.c_str(), RTLD_NOW);
        if (!handle) {
            std::cerr << "host: " << dlerror() << std::endl;
            return false;
        }
        return resolve(startService, "_ZN8velantis12startServiceEv") &&
               resolve(stopService, "_ZN8velantis11stopServiceEv") &&
               resolve(listenWakeWord, "_ZN8velantis14listenWakeWordESt8functionIFvRKNS_13MessageHeaderEEE") &&
               resolve(stopWakeWordListening, "_ZN8velantis21stopWakeWordListeningEv") &&
               resolve(sendTTSRequest,
                       "_ZN8velantis14sendTTSRequestERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE") &&
               resolve(runTavrinAgent, "_ZN8velantis14runTavrinAgentEv") &&
               resolve(stopTavrinAgent, "_ZN8velantis15stopTavrinAgentEv");
    }
};
