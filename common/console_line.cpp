#include "common/console_line.h"

#include <string>

namespace velantis {

void writeConsoleLine(std::ostream& stream, std::string_view line) {
    std::string whole;
    whole.reserve(line.size() + 1);
    whole.append(line);
    whole += '\n';
    stream.write(whole.data(), static_cast<std::streamsize>(whole.size()));
    stream.flush();
}

}  // namespace velantis
