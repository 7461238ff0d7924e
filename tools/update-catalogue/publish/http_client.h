#pragma once
// GET requests as the updater makes them, for verify. The native build does HTTP with libcurl.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "trust/crypto.h"

namespace tarn::tool {

// The updater's agent text: its executable's name without the extension.
constexpr char kUpdaterAgent[] = "TarnFileUpdater";
constexpr int kMaxRedirects = 10;

struct HttpRequest {
    std::string origin;                     // "http://host:port"
    std::string target;                     // the request target, sent byte for byte
    std::vector<std::string> extraHeaders;  // "Name: value", beside the updater's own
    size_t keepBody = 0;                    // how many body bytes to keep in HttpReply::body
    bool headersOnly = false;               // end the transfer once the body begins
    bool hashBody = false;                  // compute the SHA-256 of the whole body
    // Handed each piece of the body of a 200 reply (not of a redirect's), as it arrives.
    std::function<void(const char* data, size_t size)> onBody{};
};

struct HttpReply {
    bool complete = false;  // a whole reply arrived (false: error says why)
    std::string error;
    bool connectFailed = false;  // no connection was made: the host is unknown or refused it
    long status = 0;
    std::string contentLength;  // the header's value as sent; empty when there is none
    std::string contentEncoding;
    std::string transferEncoding;
    uint64_t bodyBytes = 0;
    std::string body;     // the first keepBody bytes
    bool hashed = false;  // bodyHash holds the SHA-256 of the body (hashBody was asked)
    trust::Digest bodyHash{};
    int redirects = 0;
    int64_t lastModified = -1;  // Last-Modified in seconds since 1970; -1 when not sent
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // A GET with the updater's headers (agent, Accept: */*, Host) and the extra ones, following
    // redirects as WinINet does, up to kMaxRedirects; the reply is the last one's.
    virtual HttpReply Get(const HttpRequest& request) = 0;
};

// libcurl's client, in the Linux build only. timeoutSeconds bounds each request.
std::unique_ptr<HttpClient> MakeHttpClient(long timeoutSeconds);

}  // namespace tarn::tool
