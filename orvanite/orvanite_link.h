// Inside liborvanite: the link on a device path of the caller's choosing (init_orvanite uses
// "/dev/ttyACM0"). Not exported.
#pragma once

#include <functional>
#include <string>

namespace orvanite {

int run_link(std::function<void(double, int)> callback, const std::string& path);

}  // namespace orvanite
