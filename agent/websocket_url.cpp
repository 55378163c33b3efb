#include "agent/websocket_url.h"

#include <strings.h>

namespace velantis::net::detail {

ParsedUrl parseUrl(const std::string& url) {
    ParsedUrl out;
    const std::string scheme = "wss://";
    if (url.size() < scheme.size() || strncasecmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) {
        out.error = "Invalid URL (expected wss://host[:port]/path): " + url;
        return out;
    }
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find_first_of("/?");
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos) {
        out.target = rest.substr(slash);
        if (out.target[0] == '?') out.target = "/" + out.target;
    }
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {  // [v6 address]:port
        size_t close = authority.find(']');
        if (close == std::string::npos) {
            out.error = "Invalid URL host: " + url;
            return out;
        }
        out.host = authority.substr(1, close - 1);
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                out.error = "Invalid URL host: " + url;
                return out;
            }
            portText = after.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        out.host = authority.substr(0, colon);
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    if (out.host.empty()) {
        out.error = "Invalid URL, no host: " + url;
        return out;
    }
    if (!portText.empty() || authority.find(':') != std::string::npos) {
        bool digits = !portText.empty() && portText.size() <= 5 &&
                      portText.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(portText) == 0 || std::stoul(portText) > 65535) {
            out.error = "Invalid URL port: " + url;
            return out;
        }
        out.port = portText;
    }
    out.ok = true;
    return out;
}

}  // namespace velantis::net::detail
