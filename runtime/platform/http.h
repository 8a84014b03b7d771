// One-shot HTTP requests over libcurl: HTTP/1.1 (header names keep their
// case), redirects followed, TLS peers verified, bounded waits.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "runtime/common.h"

namespace zav::platform {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;  // GET, HEAD, POST or any other name, upper case
    std::string url;
    HeaderList headers;
    const std::string* body = nullptr;  // none: no body is sent
};

struct HttpResponse {
    i32 status = 0;
    HeaderList headers;  // of the last response when redirects were followed, in order
    std::string body;
};

// False when no answer came (refused or failed connection, bad URL, TLS
// failure, timeout, a body too large for one value).
bool http_request(const HttpRequest& request, HttpResponse& response);

}  // namespace zav::platform
