// A token endpoint for the authorisation tests, behind a transport table.
//
// In account mode it answers every POST by the refresh token it was given:
// a refresh token "<account>~<generation>" yields the access token
// "AT-<account>-<serial>" and, when rotating, the refresh token
// "<account>~<generation + 1>". In scripted mode it answers a fixed status and
// body. It counts calls and remembers the last request; it is safe to use
// from several threads at once.
#ifndef NIMBUS_TESTS_AUTH_TOKEN_SERVER_H
#define NIMBUS_TESTS_AUTH_TOKEN_SERVER_H

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "auth/auth.h"
#include "transport/transport.h"

struct token_server {
    // Account mode settings.
    bool rotate = true;
    long long expires_in = 3600;
    // Scripted mode: used when scripted is set.
    bool scripted = false;
    int status = 200;
    std::string body;
    bool fail = false; // the exchange fails (no answer)

    std::atomic<int> posts{0};
    std::atomic<int> gets{0};
    std::atomic<int> frees{0};
    std::atomic<long> serial{0};

    nimbus_io io{this, get_cb, post_cb, free_cb};

    std::string last_url() {
        std::lock_guard<std::mutex> l(m_);
        return last_url_;
    }
    std::string last_body() {
        std::lock_guard<std::mutex> l(m_);
        return last_body_;
    }
    std::string last_type() {
        std::lock_guard<std::mutex> l(m_);
        return last_type_;
    }
    // The refresh token presented by the last POST (not percent-decoded).
    std::string last_refresh() { return field(last_body(), "refresh_token"); }

    static std::string field(const std::string &form, const std::string &name) {
        std::string key = "&" + name + "=";
        size_t at = ("&" + form).find(key);
        if (at == std::string::npos)
            return "<absent>";
        size_t start = at + key.size() - 1;
        size_t end = form.find('&', start);
        return form.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }

  private:
    std::mutex m_;
    std::string last_url_, last_body_, last_type_;

    static char *dup(const std::string &s) {
        char *p = static_cast<char *>(std::malloc(s.size() + 1));
        std::memcpy(p, s.c_str(), s.size() + 1);
        return p;
    }

    std::string answer_for(const std::string &refresh) {
        size_t tilde = refresh.find('~');
        if (tilde == std::string::npos)
            return R"({"error":"invalid_grant","error_description":"unknown refresh token"})";
        std::string account = refresh.substr(0, tilde);
        long gen = std::atol(refresh.c_str() + tilde + 1);
        std::string out = "{\"token_type\":\"Bearer\",\"access_token\":\"AT-" + account + "-" +
                          std::to_string(++serial) +
                          "\",\"expires_in\":" + std::to_string(expires_in);
        if (rotate)
            out += ",\"refresh_token\":\"" + account + "~" + std::to_string(gen + 1) + "\"";
        return out + "}";
    }

    static int get_cb(void *ctx, const char *, char **body, int32_t *status, char **) {
        auto *self = static_cast<token_server *>(ctx);
        self->gets++;
        *status = 404;
        *body = dup("");
        return 0;
    }

    static int post_cb(void *ctx, const char *url, const char *form, const char *type,
                       char **answer, int32_t *status, char **error) {
        auto *self = static_cast<token_server *>(ctx);
        self->posts++;
        // The cache lock is never held around a transport call: taking it
        // here would deadlock (and ThreadSanitizer would report it).
        (void)nimbus_cache_debug_tick();
        {
            std::lock_guard<std::mutex> l(self->m_);
            self->last_url_ = url;
            self->last_body_ = form;
            self->last_type_ = type ? type : "<null>";
        }
        if (self->fail) {
            *error = dup("connection refused\nsecond line");
            return 1;
        }
        if (self->scripted) {
            *status = self->status;
            *answer = dup(self->body);
            return 0;
        }
        *status = 200;
        *answer = dup(self->answer_for(field(form, "refresh_token")));
        return 0;
    }

    static void free_cb(void *ctx, void *text) {
        static_cast<token_server *>(ctx)->frees++;
        std::free(text);
    }
};

// Settings records for the tests; the strings live as long as the record.
struct test_cfg {
    std::string client_id = "client-1", client_secret = "secret-1", refresh = "A~0", scope;
    bool has_refresh = true, has_scope = false;
    nimbus_cfg cfg{};

    const nimbus_cfg *get() {
        cfg = nimbus_cfg{};
        cfg.client_id = client_id.data();
        cfg.client_secret = client_secret.data();
        cfg.refresh_token = has_refresh ? refresh.data() : nullptr;
        cfg.scope = has_scope ? scope.data() : nullptr;
        return &cfg;
    }
};

#endif // NIMBUS_TESTS_AUTH_TOKEN_SERVER_H
