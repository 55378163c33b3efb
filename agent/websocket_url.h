// The parts of a "wss://host[:port]/path?query" URL that a connection needs.
#pragma once

#include <string>

namespace velantis::net::detail {

struct ParsedUrl {
    bool ok = false;
    std::string host;  // without the brackets of an IPv6 literal
    std::string port = "443";
    std::string target = "/";
    std::string error;  // when not ok
};

ParsedUrl parseUrl(const std::string& url);

}  // namespace velantis::net::detail
