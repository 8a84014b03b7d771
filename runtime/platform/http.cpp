// HTTP requests over libcurl.
#include "runtime/platform/http.h"
#include "runtime/platform/dynlib.h"
#include "runtime/platform/files.h"

#include <algorithm>
#include <cstdlib>
// Plain calls through the pointers below, without the header's type-check macros.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <strings.h>

namespace zav::platform {

namespace {

// Waits: connecting, and a transfer that stalls below 1 byte a second. Long
// enough for a slow server, short enough that a dead one does not hang a script.
constexpr long CONNECT_TIMEOUT_S = 30;
constexpr long STALL_TIMEOUT_S = 60;
// More than any sane chain of redirects (browsers stop near 20); a loop ends soon.
constexpr long MAX_REDIRECTS = 20;
struct Received {
    HttpResponse* response;
    u64 max_body;
    bool too_long = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Received*>(user);
    size_t n = size * count;
    std::string& body = r->response->body;
    if (body.size() + n > r->max_body) {
        r->too_long = true;
        return 0;  // stops the transfer
    }
    // Doubling, but never past the limit: a body without a length grows
    // to what one value can hold, not to twice that.
    simple_io::grow_within(body, n, r->max_body);
    body.append(data, n);
    return n;
}

HttpFailure failure_of(CURLcode code, bool too_long) {
    if (too_long) return HttpFailure::too_large;
    switch (code) {
        case CURLE_OK: return HttpFailure::none;
        case CURLE_FILESIZE_EXCEEDED: return HttpFailure::too_large;
        case CURLE_OPERATION_TIMEDOUT: return HttpFailure::timeout;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING: return HttpFailure::cut_short;
        case CURLE_TOO_MANY_REDIRECTS: return HttpFailure::redirect_loop;
        default: return HttpFailure::no_connect;
    }
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<Received*>(user);
    size_t n = size * count;
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // Each response of a redirect chain starts with its status line; only the
    // last one's headers are kept.
    if (line.rfind("HTTP/", 0) == 0) {
        r->response->headers.clear();
        return n;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return n;
    size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) v++;
    r->response->headers.emplace_back(line.substr(0, colon), line.substr(v));
    return n;
}

// libcurl is opened on the first request: linked, it and its many libraries
// would be loaded at every start-up, costing more than the start-up itself.
struct Library {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_perform) easy_perform;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
    decltype(&::curl_easy_strerror) easy_strerror;
};

// Null when the library or one of its entries is missing.
const Library* library() {
    static Library lib;
    static int state = 0;  // 0 not tried, 1 loaded, -1 missing
    if (state) return state > 0 ? &lib : nullptr;
    state = -1;
    bool ok = open_library("libcurl.so.4", {
        {&lib.global_init, "curl_global_init"},
        {&lib.easy_init, "curl_easy_init"},
        {&lib.easy_setopt, "curl_easy_setopt"},
        {&lib.easy_perform, "curl_easy_perform"},
        {&lib.easy_getinfo, "curl_easy_getinfo"},
        {&lib.easy_cleanup, "curl_easy_cleanup"},
        {&lib.slist_append, "curl_slist_append"},
        {&lib.slist_free_all, "curl_slist_free_all"},
        {&lib.easy_strerror, "curl_easy_strerror"},
    });
    if (ok) state = 1;
    return ok ? &lib : nullptr;
}

bool initialised = false;

}  // namespace

bool http_request(const HttpRequest& request, HttpResponse& response) {
    response = HttpResponse{};
    auto fail = [&](const char* reason) {
        response.failure = HttpFailure::no_connect;
        response.reason = reason;
        return false;
    };
    const Library* lib = library();
    if (!lib) return fail("libcurl is missing");
    if (!initialised) {
        if (lib->global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return fail("libcurl cannot start");
        initialised = true;
    }
    CURL* curl = lib->easy_init();
    if (!curl) return fail("libcurl cannot start");
    Received received{&response, request.max_body};
    curl_slist* headers = nullptr;
    bool content_type = false;
    for (const auto& [name, value] : request.headers) {
        content_type = content_type || strcasecmp(name.c_str(), "Content-Type") == 0;
        // "Name:" with nothing after it would remove curl's own header; the
        // semicolon form sends an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        headers = lib->slist_append(headers, line.c_str());
    }
    // No "Expect: 100-continue" pause before a body, and no content type
    // that the caller did not give.
    headers = lib->slist_append(headers, "Expect:");
    if (!content_type) headers = lib->slist_append(headers, "Content-Type:");

    // Proxies from the environment serve other machines; this one is reached directly.
    std::string no_proxy = "localhost,127.0.0.1,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            no_proxy = std::string(v) + "," + no_proxy;
            break;
        }
    }
    lib->easy_setopt(curl, CURLOPT_NOPROXY, no_proxy.c_str());
    lib->easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    lib->easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    lib->easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    lib->easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    lib->easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    lib->easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    lib->easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_S);
    lib->easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    lib->easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, STALL_TIMEOUT_S);
    lib->easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    lib->easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    lib->easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    lib->easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    lib->easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
    lib->easy_setopt(curl, CURLOPT_HEADERDATA, &received);
    // A body announced larger than the limit is refused before it comes
    // (not for HEAD, whose length announces a body that does not come).
    if (request.method != "HEAD")
        lib->easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_body));
    if (request.method == "HEAD") {
        lib->easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (request.method == "GET") {
        lib->easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
        if (request.method != "POST") lib->easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        if (request.body) {
            lib->easy_setopt(curl, CURLOPT_POSTFIELDS, request.body->data());
            lib->easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
        } else if (request.method == "POST") {
            lib->easy_setopt(curl, CURLOPT_POSTFIELDS, "");
            lib->easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        }
    }
    CURLcode code = lib->easy_perform(curl);
    long status = 0;
    if (code == CURLE_OK) lib->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    lib->slist_free_all(headers);
    lib->easy_cleanup(curl);
    response.failure = failure_of(code, received.too_long);
    if (response.failure != HttpFailure::none) {
        response.body = std::string();  // what came of it is not kept
        response.reason = lib->easy_strerror(received.too_long ? CURLE_FILESIZE_EXCEEDED : code);
        return false;
    }
    response.status = static_cast<i32>(status);
    return true;
}

}  // namespace zav::platform
