// A host program without a logger of its own that links the service-style library.
#include <iostream>

extern "C" void service_probe_log(const char* text);

int main() {
    service_probe_log("probe service line");
    std::cout << "probe done" << std::endl;
    return 0;
}
