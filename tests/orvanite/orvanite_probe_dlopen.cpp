// Loads liborvanite on its own at run time; carries no logger of its own.
#include <dlfcn.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const char* symbol = "_ZN8orvanite17send_orvanite_strERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
    void* lib = dlopen(argv[1], RTLD_NOW);
    auto send = reinterpret_cast<bool (*)(const std::string&)>(lib ? dlsym(lib, symbol) : nullptr);
    if (!send) {
        std::cerr << dlerror() << std::endl;
        return 1;
    }
    std::cout << "sent " << send("probe") << std::endl;
    std::cout << "probe done" << std::endl;
    return 0;
}
