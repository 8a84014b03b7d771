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
    // The most bytes of body taken: a larger one is refused as it arrives
    // (at once when its announced length is larger).
    u64 max_body = 0x7FFFFFFF;
};

// Why no whole answer came.
enum class HttpFailure {
    none,
    no_connect,     // no connection (refused, unknown host, TLS failure, no libcurl): see reason
    timeout,        // no connection in time, or the transfer stalled
    too_large,      // a body larger than max_body
    cut_short,      // the connection closed before the whole body came
    redirect_loop,  // more redirects than any sane chain has
};

struct HttpResponse {
    i32 status = 0;
    HeaderList headers;  // of the last response when redirects were followed, in order
    std::string body;
    HttpFailure failure = HttpFailure::none;
    std::string reason;  // libcurl's words for a failure
};

// False when no whole answer came; response.failure says why.
bool http_request(const HttpRequest& request, HttpResponse& response);

}  // namespace zav::platform
