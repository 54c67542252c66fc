/* A host written in C99 that sees only the public header: it installs its own
 * transport table, lists a folder and checks the answers and codes. */
#include <nimbus.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/entry_tail.h"

#define TOKEN_URL "https://login.microsoftonline.com/common/oauth2/v2.0/token"
#define GRAPH "https://graph.microsoft.com/v1.0"
#define BEARER NIMBUS_BEARER_MARKER

static int failures = 0;
static int gets_seen = 0;
static int posts_seen = 0;
static int frees_seen = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

static char *copy_text(const char *s) {
    size_t n = strlen(s);
    char *p = (char *)malloc(n + 1);
    if (p)
        memcpy(p, s, n + 1);
    return p;
}

static int host_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    const char *marker = strstr(url, BEARER);
    size_t n = marker ? (size_t)(marker - url) : strlen(url);
    (void)ctx;
    gets_seen++;
    if (!marker || strcmp(marker + strlen(BEARER), "c-access") != 0) {
        *error = copy_text("no bearer token");
        return 1;
    }
    if (n == strlen(GRAPH "/me/drive/root:/Media/Music:/children?$top=200") &&
        strncmp(url, GRAPH "/me/drive/root:/Media/Music:/children?$top=200", n) == 0) {
        *status = 200;
        *body = copy_text("{\"value\":[{\"id\":\"A1\",\"name\":\"a.mp3\",\"size\":3,"
                          "\"lastModifiedDateTime\":\"1971-01-01T00:00:00Z\"},"
                          "{\"id\":\"F1\",\"name\":\"Live\",\"folder\":{}}]}");
        return 0;
    }
    *status = 404;
    *body =
        copy_text("{\"error\":{\"code\":\"itemNotFound\",\"message\":\"Item does not exist\"}}");
    return 0;
}

static int host_post(void *ctx, const char *url, const char *body, const char *type, char **answer,
                     int32_t *status, char **error) {
    (void)ctx;
    (void)error;
    posts_seen++;
    if (strcmp(url, TOKEN_URL) != 0 || strcmp(type, "application/x-www-form-urlencoded") != 0 ||
        strncmp(body, "grant_type=refresh_token&", 25) != 0)
        return 1;
    *status = 200;
    *answer = copy_text("{\"access_token\":\"c-access\",\"expires_in\":3600}");
    return 0;
}

static void host_free(void *ctx, void *text) {
    (void)ctx;
    frees_seen++;
    free(text);
}

int main(void) {
    const char *settings = "{\"ClientId\":\"c-client\",\"ClientSecret\":\"c-secret\","
                           "\"refresh_token\":\"c-refresh\",\"Path\":\"/Media\"}";
    const char *expected =
        "{\"items\":[{\"name\":\"a.mp3\",\"path\":\"/Music/a.mp3\",\"folder\":false,"
        "\"kind\":\"file\",\"size\":3,\"mtime_ms\":31536000000,\"id\":\"A1\","
        "\"backend_id\":\"A1\",\"parent_id\":\"/Music\"" NIMBUS_ENTRY_TAIL
        ",{\"name\":\"Live\",\"path\":\"/Music/Live\",\"folder\":true,"
        "\"kind\":\"dir\",\"size\":-1,\"mtime_ms\":0,\"id\":\"F1\",\"backend_id\":\"F1\","
        "\"parent_id\":\"/Music\"" NIMBUS_ENTRY_TAIL "]}";
    nimbus_io io;
    nimbus_io incomplete;
    char out[4096];
    int rc;

    /* A table is copied: the local may go away after selection. */
    io.ctx = NULL;
    io.get = host_get;
    io.post = host_post;
    io.free = host_free;
    incomplete = io;
    incomplete.post = NULL;
    CHECK(nimbus_set_io(&incomplete) == NIMBUS_E_INVALID);
    CHECK(nimbus_set_io(&io) == NIMBUS_OK);
    memset(&io, 0, sizeof io);

    rc = nimbus_list(settings, "/Music", out, (int32_t)sizeof out);
    if (rc != NIMBUS_OK)
        fprintf(stderr, "list: %d %s\n", rc, nimbus_last_error());
    CHECK(rc == NIMBUS_OK);
    CHECK(strcmp(out, expected) == 0);
    CHECK(strcmp(nimbus_result_json(), expected) == 0);
    CHECK(strcmp(nimbus_last_error(), "") == 0);
    CHECK(posts_seen == 1 && gets_seen == 1);
    CHECK(frees_seen == 2); /* token answer and page, through the free callback */

    /* Too small for the answer; then no buffer at all. */
    rc = nimbus_list(settings, "/Music", out, (int32_t)strlen(expected));
    CHECK(rc == NIMBUS_E_BUFFER);
    CHECK(out[0] == '\0');
    CHECK(strcmp(nimbus_last_error(), "output buffer too small") == 0);
    rc = nimbus_list(settings, "/Music", NULL, 0);
    CHECK(rc == NIMBUS_OK);
    CHECK(strcmp(nimbus_result_json(), expected) == 0);
    CHECK(posts_seen == 1); /* the token came from the cache */

    rc = nimbus_list(settings, "/Nope", out, (int32_t)sizeof out);
    CHECK(rc == NIMBUS_E_NOT_FOUND);
    CHECK(strcmp(nimbus_last_error(),
                 "children: " GRAPH "/me/drive/root:/Media/Nope:/children?$top=200 answered "
                 "HTTP 404: {\"error\":{\"code\":\"itemNotFound\",\"message\":\"Item does not "
                 "exist\"}}") == 0);
    CHECK(strcmp(nimbus_result_json(), "") == 0);

    rc = nimbus_list(settings, "x..y", out, (int32_t)sizeof out);
    CHECK(rc == NIMBUS_E_NOT_FOUND);
    CHECK(strcmp(out, "{\"error\":\"folder id is not a Graph item id\"}") == 0);

    rc = nimbus_download(settings, "/Music/a.mp3", out, (int32_t)sizeof out);
    CHECK(rc == NIMBUS_E_UNSUPPORTED);
    CHECK(strlen(out) == 60);

    CHECK(hvtab_get()->caps == nimbus_caps());
    CHECK(strcmp(nimbus_version(), NIMBUS_VERSION_STRING) == 0);
    CHECK(nimbus_caps() == NIMBUS_CAPS);

    CHECK(nimbus_set_io(NULL) == NIMBUS_OK);
    rc = nimbus_list(settings, "/Music", out, (int32_t)sizeof out);
    CHECK(rc == NIMBUS_E_UNAVAILABLE);
    CHECK(strcmp(nimbus_last_error(), "no transport") == 0);
    nimbus_forget_tokens();

    if (failures) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    puts("C host: all checks passed");
    return 0;
}
