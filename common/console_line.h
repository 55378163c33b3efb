// Console lines: each one reaches its stream whole, in a single write, and is flushed, so
// that lines that threads print at the same moment never cut into one another.
#pragma once

#include <fmt/format.h>

#include <iterator>
#include <ostream>
#include <string_view>

namespace velantis {

// Writes `line` and a newline.
void writeConsoleLine(std::ostream& stream, std::string_view line);

// The parts, each formatted as by fmt's "{}", one after the other on one line.
template <typename... Parts>
void consoleLine(std::ostream& stream, const Parts&... parts) {
    fmt::memory_buffer line;
    (fmt::format_to(std::back_inserter(line), "{}", parts), ...);
    writeConsoleLine(stream, std::string_view(line.data(), line.size()));
}

}  // namespace velantis
