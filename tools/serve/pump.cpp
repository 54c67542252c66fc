#include "serve/pump.h"

#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace cli {

namespace {

using clock_type = std::chrono::steady_clock;

// What one recv may take: four records of 16 KiB and their overhead. It
// is the size of OpenSSL's read buffer, per stream.
constexpr long kReadAhead = 66 * 1024;
// When OpenSSL holds part of a record only, libcurl's read takes nothing
// and the pump waits on the socket; this long at most, in case what it
// holds was more than that.
constexpr long kPendingRecheckMs = 20;

CURLcode on_ssl_ctx(CURL *, void *ssl_ctx, void *) {
    auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, kReadAhead);
    return CURLE_OK;
}

// Whether OpenSSL holds bytes of the transfer's connection it has not
// handed to libcurl yet.
bool tls_holds_bytes(CURL *h) {
    curl_tlssessioninfo *info = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info ||
        info->backend != CURLSSLBACKEND_OPENSSL || !info->internals)
        return false;
    return SSL_has_pending(static_cast<SSL *>(info->internals)) == 1;
}

// Bytes the transfer has taken so far, headers and body.
curl_off_t taken(CURL *h) {
    curl_off_t body = 0;
    long headers = 0;
    curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &body);
    curl_easy_getinfo(h, CURLINFO_HEADER_SIZE, &headers);
    return body + headers;
}

} // namespace

transfer_pump::transfer_pump() {
    multi_ = curl_multi_init();
    if (!multi_)
        return; // perform() then runs curl_easy_perform, without reading ahead
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, on_socket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, on_timer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

transfer_pump::~transfer_pump() {
    if (multi_)
        curl_multi_cleanup(multi_);
}

void transfer_pump::read_ahead(CURL *h) {
    // Only OpenSSL's context is set up here, and only the pump knows to
    // ask OpenSSL for what it holds.
    const curl_version_info_data *v = curl_version_info(CURLVERSION_NOW);
    if (multi_ && v && v->ssl_version && std::strncmp(v->ssl_version, "OpenSSL/", 8) == 0)
        curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, on_ssl_ctx);
}

CURLcode transfer_pump::perform(CURL *h, tick_fn tick, void *ctx) {
    if (!multi_)
        return curl_easy_perform(h);
    if (curl_multi_add_handle(multi_, h) != CURLM_OK)
        return CURLE_OUT_OF_MEMORY;
    CURLcode rc = run(h, tick, ctx);
    curl_multi_remove_handle(multi_, h);
    count_ = 0;
    timer_ms_ = -1;
    return rc;
}

CURLcode transfer_pump::run(CURL *h, tick_fn tick, void *ctx) {
    int running = 0;
    // A socket libcurl let go of meanwhile (the losing one of two
    // addresses tried at once) is no failure.
    auto act = [&](curl_socket_t fd, int bits) {
        CURLMcode mc = curl_multi_socket_action(multi_, fd, bits, &running);
        return mc == CURLM_OK || mc == CURLM_BAD_SOCKET;
    };
    curl_off_t forced_at = -1; // what was taken when a read was last forced
    auto ticked = clock_type::now();
    bool ok = act(CURL_SOCKET_TIMEOUT, 0);
    while (ok && running) {
        auto now = clock_type::now();
        if (now - ticked >= std::chrono::milliseconds(kTickMs)) {
            ticked = now;
            if (tick(ctx))
                return CURLE_ABORTED_BY_CALLBACK;
        }
        // Records OpenSSL holds are read before the socket is waited on,
        // unless the last forced read took nothing (part of a record).
        curl_socket_t in = reading();
        bool holds = in != CURL_SOCKET_BAD && tls_holds_bytes(h);
        if (holds) {
            curl_off_t now_taken = taken(h);
            if (now_taken != forced_at) {
                forced_at = now_taken;
                ok = act(in, CURL_CSELECT_IN);
                continue;
            }
        }
        long wait = kTickMs;
        if (timer_ms_ >= 0)
            wait = std::clamp<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(timer_at_ - now).count(), 0,
                wait);
        if (holds)
            wait = std::min(wait, kPendingRecheckMs);
        pollfd fds[kMaxWatched];
        int n_fds = count_;
        for (int i = 0; i < n_fds; i++)
            fds[i] = {watched_[i].fd,
                      static_cast<short>((watched_[i].what & CURL_POLL_IN ? POLLIN : 0) |
                                         (watched_[i].what & CURL_POLL_OUT ? POLLOUT : 0)),
                      0};
        int ready = ::poll(fds, static_cast<nfds_t>(n_fds), static_cast<int>(wait));
        if (ready < 0 && errno != EINTR)
            return CURLE_RECV_ERROR;
        for (int i = 0; ok && ready > 0 && i < n_fds; i++) {
            int bits = (fds[i].revents & (POLLIN | POLLHUP) ? CURL_CSELECT_IN : 0) |
                       (fds[i].revents & POLLOUT ? CURL_CSELECT_OUT : 0) |
                       (fds[i].revents & (POLLERR | POLLNVAL) ? CURL_CSELECT_ERR : 0);
            if (bits)
                ok = act(fds[i].fd, bits);
        }
        if (ready == 0)
            forced_at = -1; // what OpenSSL holds is worth another read
        if (ok && timer_ms_ >= 0 && clock_type::now() >= timer_at_) {
            timer_ms_ = -1;
            ok = act(CURL_SOCKET_TIMEOUT, 0);
        }
    }
    if (!ok)
        return CURLE_OUT_OF_MEMORY;
    CURLcode rc = CURLE_FAILED_INIT;
    int left = 0;
    while (CURLMsg *msg = curl_multi_info_read(multi_, &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == h)
            rc = msg->data.result;
    return rc;
}

curl_socket_t transfer_pump::reading() const {
    for (int i = 0; i < count_; i++)
        if (watched_[i].what & CURL_POLL_IN)
            return watched_[i].fd;
    return CURL_SOCKET_BAD;
}

int transfer_pump::on_socket(CURL *, curl_socket_t fd, int what, void *self, void *) {
    auto *p = static_cast<transfer_pump *>(self);
    watched *end = p->watched_ + p->count_;
    watched *at = std::find_if(p->watched_, end, [fd](const watched &w) { return w.fd == fd; });
    if (what == CURL_POLL_REMOVE) {
        if (at != end) {
            *at = end[-1];
            p->count_--;
        }
    } else if (at != end) {
        at->what = what;
    } else if (p->count_ < kMaxWatched) {
        *end = {fd, what};
        p->count_++;
    }
    return 0;
}

int transfer_pump::on_timer(CURLM *, long ms, void *self) {
    auto *p = static_cast<transfer_pump *>(self);
    p->timer_ms_ = ms;
    if (ms >= 0)
        p->timer_at_ = clock_type::now() + std::chrono::milliseconds(ms);
    return 0;
}

} // namespace cli
