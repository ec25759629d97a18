#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/https.h"

namespace corvane {

namespace {

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct Transfer {
    const HttpsRequest* request = nullptr;
    int fd = -1;                 // body file, when streaming from one
    std::uint64_t body_size = 0;
    std::uint64_t sent = 0;
    bool head_seen = false;
    bool body_seen = false;
    bool stopped = false;
    std::string headers;
    std::string read_error;
};

size_t read_body(char* buffer, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t room = size * count;
    size_t n = 0;
    if (t->fd >= 0) {
        for (;;) {
            const ssize_t r = ::read(t->fd, buffer, room);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                t->read_error = std::strerror(errno);
                return CURL_READFUNC_ABORT;
            }
            n = static_cast<size_t>(r);
            break;
        }
    } else {
        const std::string& body = t->request->body;
        n = std::min<std::uint64_t>(room, body.size() - t->sent);
        std::memcpy(buffer, body.data() + t->sent, n);
    }
    if (n == 0 && t->sent < t->body_size) {
        t->read_error = "el archivo se acortó mientras se enviaba";
        return CURL_READFUNC_ABORT;
    }
    t->sent += n;
    if (n > 0 && t->request->on_sent) t->request->on_sent(t->sent);
    return n;
}

size_t write_body(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    t->body_seen = true;
    if (t->request->on_data && !t->request->on_data(std::string_view(data, n))) {
        t->stopped = true;
        return 0;  // makes the transfer fail with a write error
    }
    return n;
}

size_t write_head(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    std::string_view line(data, n);
    // A new status line (an interim 1xx reply came first) starts the head anew.
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") t->headers.clear();
    t->head_seen = true;
    t->headers.append(line);
    return n;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

// Whether the header lines already name `name` (so libcurl must not add its own).
bool has_header(const std::vector<std::string>& lines, std::string_view name) {
    for (const auto& l : lines) {
        const auto colon = l.find(':');
        if (colon != std::string::npos && lower(l.substr(0, colon)) == name) return true;
    }
    return false;
}

}  // namespace

HttpsUrlParts https_split_url(std::string_view url) {
    global_init();
    HttpsUrlParts parts;
    CURLU* u = curl_url();
    if (!u) {
        parts.error = "sin memoria";
        return parts;
    }
    const std::string text(url);
    CURLUcode rc = curl_url_set(u, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME);
    if (rc == CURLUE_OK && text.find('\0') != std::string::npos) rc = CURLUE_MALFORMED_INPUT;
    auto get = [&](CURLUPart part, std::string& out) {
        char* p = nullptr;
        if (curl_url_get(u, part, &p, 0) == CURLUE_OK && p) {
            out = p;
            curl_free(p);
        }
    };
    if (rc != CURLUE_OK) {
        parts.error = curl_url_strerror(rc);
    } else {
        get(CURLUPART_SCHEME, parts.scheme);
        parts.scheme = lower(parts.scheme);
        get(CURLUPART_HOST, parts.host);
        std::string path, query;
        get(CURLUPART_PATH, path);
        get(CURLUPART_QUERY, query);
        parts.path_and_query = path.empty() ? "/" : path;
        if (!query.empty()) parts.path_and_query += "?" + query;
        if (parts.host.size() >= 256) parts.error = curl_url_strerror(CURLUE_BAD_HOSTNAME);
        if (parts.path_and_query.size() > 8191) parts.error = curl_url_strerror(CURLUE_MALFORMED_INPUT);
    }
    curl_url_cleanup(u);
    return parts;
}

HttpsOutcome https_perform(const HttpsRequest& request) {
    global_init();
    HttpsOutcome out;
    const HttpsUrlParts parts = https_split_url(request.url);
    if (!parts.error.empty() || parts.scheme != "https") {
        out.error = parts.error.empty() ? "solo https" : parts.error;
        return out;
    }
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        out.error = "curl_easy_init";
        return out;
    }
    Transfer t;
    t.request = &request;
    const bool has_body = request.method == "POST";
    if (!request.body_file.empty()) {
        t.fd = ::open(request.body_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (t.fd < 0) {
            out.error = std::strerror(errno);
            return out;
        }
        const off_t end = ::lseek(t.fd, 0, SEEK_END);
        ::lseek(t.fd, 0, SEEK_SET);
        t.body_size = end < 0 ? 0 : static_cast<std::uint64_t>(end);
    } else {
        t.body_size = request.body.size();
    }
    struct FdCloser {
        int& fd;
        ~FdCloser() {
            if (fd >= 0) ::close(fd);
        }
    } closer{t.fd};

    std::unique_ptr<curl_slist, SlistDeleter> list;
    auto add = [&](const std::string& line) {
        curl_slist* n = curl_slist_append(list.get(), line.c_str());
        if (n) {
            (void)list.release();
            list.reset(n);
        }
    };
    for (const auto& h : request.headers) add(h);
    // libcurl's own additions would change what the service sees.
    for (const char* name : {"accept", "expect", "content-type"})
        if (!has_header(request.headers, name)) {
            std::string n = name;
            n[0] = static_cast<char>(n[0] - 'a' + 'A');
            add(n + ":");
        }

    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, request.ca_file.c_str());
    curl_easy_setopt(c, CURLOPT_USERAGENT, request.user_agent.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max<std::uint32_t>(request.connect_ms, 1)));
    // No total limit: a long stream or a big upload is fine as long as bytes move.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max<std::uint32_t>(request.idle_ms / 1000, 1)));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, write_head);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    if (has_body) {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(c, CURLOPT_READDATA, &t);
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.body_size));
        curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 262144L);
    } else if (request.method == "GET") {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const CURLcode rc = curl_easy_perform(c);
    long code = 0;
    if (t.head_seen) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    out.status = code > 0 && code < 1000 ? static_cast<std::uint32_t>(code) : 0;
    out.headers = std::move(t.headers);
    if (rc == CURLE_OK) {
        out.phase = HttpsPhase::done;
        return out;
    }
    if (t.stopped) {
        out.phase = HttpsPhase::stopped;
        return out;
    }
    out.error = t.read_error.empty() ? curl_easy_strerror(rc) : t.read_error;
    out.code = t.read_error.empty() ? static_cast<int>(rc) : 0;
    long request_size = 0;
    curl_easy_getinfo(c, CURLINFO_REQUEST_SIZE, &request_size);
    if (t.body_seen || (t.head_seen && out.status >= 200)) out.phase = HttpsPhase::receive;
    else if (request_size <= 0 && t.sent == 0) out.phase = HttpsPhase::connect;
    else if (has_body && t.sent < t.body_size) out.phase = HttpsPhase::send;
    else out.phase = HttpsPhase::wait;
    if (!t.read_error.empty()) out.phase = HttpsPhase::send;
    return out;
}

}  // namespace corvane
