// A small recording transport for the transport tests: scripted answers,
// the calls it received, and a count of the texts it handed over and got back.
#ifndef NIMBUS_TESTS_REC_IO_H
#define NIMBUS_TESTS_REC_IO_H

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transport/transport.h"

struct rec_io {
    // What the next calls answer. A null answer stores no body; a null error
    // stores no error text.
    int rc = 0;
    int32_t status = 200;
    const char *answer = "";
    const char *error = nullptr;
    // Bytes of the answer to hand over (to hand over texts with a NUL inside);
    // 0 means up to its NUL.
    size_t answer_bytes = 0;
    // Called at the end of every callback, after the texts were stored.
    void (*after)() = nullptr;

    // What the calls received.
    std::vector<std::string> methods;
    std::vector<std::string> urls;
    std::vector<std::string> bodies;
    std::vector<std::string> types;
    int handed = 0; // texts stored in the body and error places
    int freed = 0;  // texts that came back through the free callback

    nimbus_io table(bool with_free = true) {
        return nimbus_io{this, &rec_io::get, &rec_io::post, with_free ? &rec_io::release : nullptr};
    }
    size_t calls() const { return urls.size(); }

  private:
    char *text(const char *s, size_t n) {
        char *p = static_cast<char *>(std::malloc(n + 1));
        std::memcpy(p, s, n);
        p[n] = '\0';
        handed++;
        return p;
    }
    int answer_with(char **body, int32_t *st, char **err) {
        if (answer)
            *body = text(answer, answer_bytes ? answer_bytes : std::strlen(answer));
        if (error)
            *err = text(error, std::strlen(error));
        *st = status;
        if (after)
            after();
        return rc;
    }
    static int get(void *ctx, const char *url, char **body, int32_t *st, char **err) {
        auto *self = static_cast<rec_io *>(ctx);
        EXPECT_EQ(*body, nullptr);
        EXPECT_EQ(*err, nullptr);
        EXPECT_EQ(*st, 0);
        self->methods.push_back("GET");
        self->urls.push_back(url);
        self->bodies.push_back("");
        self->types.push_back("");
        return self->answer_with(body, st, err);
    }
    static int post(void *ctx, const char *url, const char *req, const char *type, char **answer,
                    int32_t *st, char **err) {
        auto *self = static_cast<rec_io *>(ctx);
        EXPECT_EQ(*answer, nullptr);
        EXPECT_EQ(*err, nullptr);
        EXPECT_EQ(*st, 0);
        self->methods.push_back("POST");
        self->urls.push_back(url);
        self->bodies.push_back(req);
        self->types.push_back(type ? type : "(null)");
        return self->answer_with(answer, st, err);
    }
    static void release(void *ctx, void *p) {
        static_cast<rec_io *>(ctx)->freed++;
        std::free(p);
    }
};

#endif // NIMBUS_TESTS_REC_IO_H
