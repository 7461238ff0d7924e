// HTTP for verify, with libcurl.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>

#include "tools/update-catalogue/publish/http_client.h"
#include "tools/update-catalogue/publish/transfer_pace.h"
#include "trust/sha256.h"

namespace tarn::tool {

namespace {

// The updater's connect time-out; its other limits are TransferPace's.
constexpr long kConnectSeconds = 15;

uint64_t NowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::string Trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

struct Transfer {
    const HttpRequest* request;
    HttpReply* reply;
    bool stoppedOnPurpose = false;
    TransferPace pace{NowMs()};
    std::string tooSlow{};                        // why the pace ended the transfer
    std::unique_ptr<trust::Sha256Stream> hash{};  // when the request asks for the body's hash
    CURL* curl = nullptr;
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    const std::string line(data, size * count);
    // Each response of a redirect chain, or an interim 100, starts over.
    if (line.compare(0, 5, "HTTP/") == 0) {
        t.reply->contentLength.clear();
        t.reply->contentEncoding.clear();
        t.reply->transferEncoding.clear();
        return size * count;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return size * count;
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string value = Trimmed(line.substr(colon + 1));
    if (name == "content-length") t.reply->contentLength = value;
    if (name == "content-encoding") t.reply->contentEncoding = value;
    if (name == "transfer-encoding") t.reply->transferEncoding = value;
    return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Transfer& t = *static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (t.request->headersOnly) {
        t.stoppedOnPurpose = true;
        return 0;  // ends the transfer
    }
    t.reply->bodyBytes += n;
    if (t.hash) t.hash->Update(data, n);
    if (t.request->onBody) {
        long status = 0;
        curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200) t.request->onBody(data, n);
    }
    if (t.reply->body.size() < t.request->keepBody)
        t.reply->body.append(data, std::min(n, t.request->keepBody - t.reply->body.size()));
    return n;
}

// libcurl calls this at least once a second while a transfer runs; non-zero ends it.
int OnProgress(void* data, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    Transfer& t = *static_cast<Transfer*>(data);
    return t.pace.Update(NowMs(), static_cast<uint64_t>(received), &t.tooSlow) ? 0 : 1;
}

class CurlHttpClient final : public HttpClient {
public:
    explicit CurlHttpClient(long timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        handle_ = curl_easy_init();
    }
    ~CurlHttpClient() override {
        if (handle_) curl_easy_cleanup(handle_);
        curl_global_cleanup();
    }
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    HttpReply Get(const HttpRequest& request) override {
        HttpReply reply;
        if (!handle_) {
            reply.error = "libcurl could not be started";
            return reply;
        }
        // The first request carries the target as the updater sends it (libcurl would escape
        // bytes above 0x7F in a URL); a redirect goes where the server's Location says.
        std::string url = request.origin + "/";
        bool first = true;
        for (;;) {
            reply.bodyBytes = 0;
            reply.body.clear();
            reply.hashed = false;
            std::string redirect;
            if (!Perform(url, first ? &request.target : nullptr, request, &reply, &redirect)) return reply;
            first = false;
            if (redirect.empty() || reply.redirects >= kMaxRedirects) return reply;
            ++reply.redirects;
            url = redirect;
        }
    }

private:
    bool Perform(const std::string& url, const std::string* target, const HttpRequest& request, HttpReply* reply,
                 std::string* redirect) {
        CURL* c = handle_;
        curl_easy_reset(c);  // keeps the open connections
        char errorText[CURL_ERROR_SIZE] = "";
        Transfer transfer{&request, reply};
        transfer.curl = c;
        if (request.hashBody) transfer.hash = std::make_unique<trust::Sha256Stream>();
        struct curl_slist* headers = nullptr;
        for (const std::string& h : request.extraHeaders) headers = curl_slist_append(headers, h.c_str());
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        if (target) curl_easy_setopt(c, CURLOPT_REQUEST_TARGET, target->c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_USERAGENT, kUpdaterAgent);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, timeoutSeconds_);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(c, CURLOPT_FILETIME, 1L);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
        const CURLcode rc = curl_easy_perform(c);
        curl_slist_free_all(headers);
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply->status);
        if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && transfer.stoppedOnPurpose)) {
            reply->complete = false;
            reply->error = !transfer.tooSlow.empty() ? transfer.tooSlow
                           : errorText[0]            ? errorText
                                                     : curl_easy_strerror(rc);
            reply->connectFailed = rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST;
            return false;
        }
        reply->complete = true;
        curl_off_t modified = -1;
        if (curl_easy_getinfo(c, CURLINFO_FILETIME_T, &modified) == CURLE_OK) reply->lastModified = modified;
        reply->hashed = transfer.hash && transfer.hash->Finish(&reply->bodyHash);
        char* location = nullptr;
        if (reply->status >= 300 && reply->status < 400 &&
            curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location)
            *redirect = location;
        return true;
    }

    long timeoutSeconds_;
    CURL* handle_ = nullptr;
};

}  // namespace

std::unique_ptr<HttpClient> MakeHttpClient(long timeoutSeconds) {
    return std::make_unique<CurlHttpClient>(timeoutSeconds);
}

}  // namespace tarn::tool
