/* A host written in C99 that uses only the drive handle API against its own
 * transport: streaming a large listing, stopping it, rotated refresh tokens,
 * the causes a host branches on, media metadata and the sign-in grants. */
#include <nimbus.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TOKEN_URL "https://login.microsoftonline.com/common/oauth2/v2.0/token"
#define GRAPH "https://graph.microsoft.com/v1.0"
#define BIG GRAPH "/me/drive/root:/Big:/children"
/* What the handle asks of each item: the members an entry is made of and,
 * as listings and look-ups hand out playable entries, the download URL. */
#define PLAYABLE                                                                                   \
    "$select=id,name,size,lastModifiedDateTime,file,folder,remoteItem,parentReference,root,"       \
    "deleted,audio,video,photo,image,@microsoft.graph.downloadUrl"
/* A listing's first page; an item look-up. */
#define FIRST "?$top=200&" PLAYABLE
#define LOOKUP "?" PLAYABLE

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s (last error: %s)\n", __FILE__, __LINE__,      \
                    #cond, nimbus_last_error());                                                   \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

/* The service: what the token endpoint answers next, and what it saw. */
static struct {
    int grants;           /* refresh grants answered */
    int rotate;           /* the next refresh grant rotates the refresh token */
    char presented[64];   /* the refresh token of the last refresh grant */
    int secret_sent;      /* the last grant's form carried client_secret */
    int refused;          /* Graph refuses the current access token once */
    int pending;          /* device-code polls still answered authorization_pending */
    int gets;             /* Graph requests */
    char last_form[1024]; /* the last form posted */
} svc;

static char *copy_text(const char *s) {
    size_t n = strlen(s);
    char *p = (char *)malloc(n + 1);
    if (p)
        memcpy(p, s, n + 1);
    return p;
}

static int answer(char **body, int32_t *status, int code, const char *text) {
    *status = code;
    *body = copy_text(text);
    return 0;
}

/* The value of form field name into out ("" when absent). */
static void field(const char *form, const char *name, char *out, size_t size) {
    size_t n = strlen(name);
    const char *p = form;
    out[0] = '\0';
    while (p && *p) {
        if (strncmp(p, name, n) == 0 && p[n] == '=') {
            size_t len = strcspn(p + n + 1, "&");
            if (len >= size)
                len = size - 1;
            memcpy(out, p + n + 1, len);
            out[len] = '\0';
            return;
        }
        p = strchr(p, '&');
        if (p)
            p++;
    }
}

static int host_post(void *ctx, const char *url, const char *form, const char *type, char **body,
                     int32_t *status, char **error) {
    char grant[128], value[128];
    (void)ctx;
    (void)type;
    (void)error;
    if (strcmp(url, TOKEN_URL) != 0)
        return 1;
    snprintf(svc.last_form, sizeof svc.last_form, "%s", form);
    svc.secret_sent = strstr(form, "client_secret=") != NULL;
    field(form, "grant_type", grant, sizeof grant);
    if (strcmp(grant, "refresh_token") == 0) {
        field(form, "refresh_token", svc.presented, sizeof svc.presented);
        svc.grants++;
        if (svc.rotate) {
            svc.rotate = 0;
            snprintf(value, sizeof value,
                     "{\"access_token\":\"at-%d\",\"refresh_token\":\"rt-%d\",\"expires_in\":3600}",
                     svc.grants, svc.grants);
        } else {
            snprintf(value, sizeof value, "{\"access_token\":\"at-%d\",\"expires_in\":3600}",
                     svc.grants);
        }
        return answer(body, status, 200, value);
    }
    if (strcmp(grant, "authorization_code") == 0) {
        field(form, "code", value, sizeof value);
        if (strcmp(value, "the-code") != 0)
            return answer(body, status, 400,
                          "{\"error\":\"invalid_grant\",\"error_description\":\"bad code\"}");
        return answer(body, status, 200,
                      "{\"access_token\":\"at-code\",\"refresh_token\":\"rt-code\","
                      "\"expires_in\":3599}");
    }
    if (strcmp(grant, "urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code") == 0) {
        if (svc.pending-- > 1)
            return answer(body, status, 400, "{\"error\":\"authorization_pending\"}");
        if (svc.pending == 0)
            return answer(body, status, 400, "{\"error\":\"slow_down\"}");
        return answer(body, status, 200,
                      "{\"access_token\":\"at-dev\",\"refresh_token\":\"rt-dev\","
                      "\"expires_in\":3600}");
    }
    return answer(body, status, 400, "{\"error\":\"unsupported_grant_type\"}");
}

/* One page of the 1000-entry folder /Big: 200 entries and a link to the next. */
static int big_page(int page, char **body, int32_t *status) {
    size_t cap = 64 * 1024;
    char *text = (char *)malloc(cap);
    size_t len = 0;
    int i;
    if (!text)
        return 1;
    len += (size_t)sprintf(text + len, "{\"value\":[");
    for (i = 0; i < 200; i++) {
        int n = page * 200 + i;
        len += (size_t)sprintf(text + len, "%s{\"id\":\"B%d\",\"name\":\"f%d.mp3\",\"size\":%d}",
                               i ? "," : "", n, n, n);
    }
    len += (size_t)sprintf(text + len, "]");
    if (page < 4)
        len += (size_t)sprintf(text + len,
                               ",\"@odata.nextLink\":\"" BIG "?$top=200&$skiptoken=%d\"", page + 1);
    sprintf(text + len, "}");
    *status = 200;
    *body = text;
    return 0;
}

static int host_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    const char *marker = strstr(url, NIMBUS_BEARER_MARKER);
    char target[512];
    size_t n;
    int page;
    (void)ctx;
    if (!marker)
        return 1;
    n = (size_t)(marker - url);
    if (n >= sizeof target)
        return 1;
    memcpy(target, url, n);
    target[n] = '\0';
    svc.gets++;
    if (svc.refused) {
        svc.refused = 0;
        return answer(body, status, 401, "{\"error\":{\"code\":\"InvalidAuthenticationToken\"}}");
    }
    (void)error;
    if (strcmp(target, BIG FIRST) == 0)
        return big_page(0, body, status);
    if (sscanf(target, BIG "?$top=200&$skiptoken=%d", &page) == 1 && page > 0 && page < 5)
        return big_page(page, body, status);
    if (strcmp(target, GRAPH "/me/drive/root:/song.mp3:/children" FIRST) == 0)
        return answer(body, status, 200, "{\"value\":[]}");
    /* The item itself: the listing's probe asks for all of it, a look-up
     * for what it hands out. */
    if (strcmp(target, GRAPH "/me/drive/root:/song.mp3") == 0 ||
        strcmp(target, GRAPH "/me/drive/root:/song.mp3" LOOKUP) == 0)
        return answer(body, status, 200,
                      "{\"id\":\"S1\",\"name\":\"song.mp3\",\"size\":4000,"
                      "\"file\":{\"mimeType\":\"audio/mpeg\"},"
                      "\"@microsoft.graph.downloadUrl\":\"https://dl.example/S1\","
                      "\"audio\":{\"title\":\"Song\",\"artist\":\"Band\",\"album\":\"Record\","
                      "\"track\":3,\"year\":1999,\"duration\":215000}}");
    if (strcmp(target, GRAPH "/me/drive/items/V1" LOOKUP) == 0)
        return answer(body, status, 200,
                      "{\"id\":\"V1\",\"name\":\"clip.mp4\",\"file\":{\"mimeType\":\"video/mp4\"},"
                      "\"video\":{\"duration\":60500,\"width\":1920,\"height\":1080}}");
    if (strcmp(target, GRAPH "/me/drive/root:/Empty:/children" FIRST) == 0)
        return answer(body, status, 200, "{\"value\":[]}");
    if (strcmp(target, GRAPH "/me/drive/root:/Empty") == 0)
        return answer(body, status, 200, "{\"id\":\"E1\",\"name\":\"Empty\",\"folder\":{}}");
    if (strcmp(target, GRAPH "/me/drive/root:/Music" LOOKUP) == 0)
        return answer(body, status, 200, "{\"id\":\"M1\",\"name\":\"Music\",\"folder\":{}}");
    return answer(body, status, 404,
                  "{\"error\":{\"code\":\"itemNotFound\",\"message\":\"Item does not exist\"}}");
}

/* Counts entries; stops after ctx's limit when it is non-zero. */
struct counter {
    int seen;
    int stop_after;
    int in_order;
    long long sizes;
};

static int count_entry(void *ctx, const nimbus_entry *e) {
    struct counter *c = (struct counter *)ctx;
    char want[32];
    sprintf(want, "/Big/f%d.mp3", c->seen);
    if (strcmp(e->path, want) != 0 || e->folder || e->size != c->seen)
        c->in_order = 0;
    c->sizes += e->size;
    c->seen++;
    return c->stop_after && c->seen == c->stop_after;
}

struct rotations {
    int calls;
    char last[64];
};

static void on_token(void *ctx, const char *refresh_token) {
    struct rotations *r = (struct rotations *)ctx;
    r->calls++;
    snprintf(r->last, sizeof r->last, "%s", refresh_token);
}

/* Keeps a copy of the one entry an item lookup hands over. */
struct kept {
    int calls;
    char name[64], mime[64], url[64], title[64], artist[64], album[64];
    int folder, track, year, width, height;
    long long size, duration;
    int has_path;
};

static void keep_text(char *out, const char *text) {
    snprintf(out, 64, "%s", text ? text : "(null)");
}

static int keep_entry(void *ctx, const nimbus_entry *e) {
    struct kept *k = (struct kept *)ctx;
    k->calls++;
    keep_text(k->name, e->name);
    keep_text(k->mime, e->mime_type);
    keep_text(k->url, e->download_url);
    keep_text(k->title, e->title);
    keep_text(k->artist, e->artist);
    keep_text(k->album, e->album);
    k->folder = e->folder;
    k->track = e->track;
    k->year = e->year;
    k->width = e->width;
    k->height = e->height;
    k->size = e->size;
    k->duration = e->duration_ms;
    k->has_path = e->path != NULL;
    return 0;
}

static const char *settings = "{\"ClientId\":\"c-client\",\"ClientSecret\":\"c-secret\","
                              "\"refresh_token\":\"rt-0\"}";

static void listing_and_rotation(const nimbus_io *io) {
    nimbus_drive *drive = NULL;
    struct counter all = {0, 0, 1, 0};
    struct counter seven = {0, 7, 1, 0};
    struct rotations rot = {0, ""};
    int gets;

    CHECK(nimbus_drive_open(settings, io, &drive) == NIMBUS_OK && drive != NULL);
    nimbus_drive_on_token(drive, on_token, &rot);
    CHECK(svc.grants == 0 && svc.gets == 0); /* opening makes no request */

    /* The first grant rotates: the host hears of rt-1 once. */
    svc.rotate = 1;
    CHECK(nimbus_drive_list(drive, "/Big", count_entry, &all) == NIMBUS_OK);
    CHECK(all.seen == 1000 && all.in_order && all.sizes == 999LL * 1000 / 2);
    CHECK(svc.gets == 5 && svc.grants == 1 && strcmp(svc.presented, "rt-0") == 0);
    CHECK(rot.calls == 1 && strcmp(rot.last, "rt-1") == 0);
    CHECK(strcmp(nimbus_last_error(), "") == 0);

    /* Stopping after 7 entries costs one page and no grant. */
    gets = svc.gets;
    CHECK(nimbus_drive_list(drive, "/Big", count_entry, &seven) == NIMBUS_E_STOPPED);
    CHECK(seven.seen == 7 && seven.in_order && svc.gets == gets + 1 && svc.grants == 1);
    CHECK(strcmp(nimbus_last_error(), "the entry callback stopped the listing") == 0);

    /* A 401 refreshes once, presenting the rotated token; no rotation this
     * time, so the host hears nothing. */
    svc.refused = 1;
    seven.seen = 0;
    CHECK(nimbus_drive_list(drive, "/Big", count_entry, &seven) == NIMBUS_E_STOPPED);
    CHECK(svc.grants == 2 && strcmp(svc.presented, "rt-1") == 0 && rot.calls == 1);

    /* A rotating grant on a 401 during an item lookup: heard once. */
    svc.refused = 1;
    svc.rotate = 1;
    {
        struct kept k;
        memset(&k, 0, sizeof k);
        CHECK(nimbus_drive_item(drive, "/song.mp3", keep_entry, &k) == NIMBUS_OK);
        CHECK(k.calls == 1);
    }
    CHECK(svc.grants == 3 && rot.calls == 2 && strcmp(rot.last, "rt-3") == 0);
    nimbus_drive_close(drive);
}

static void causes_and_metadata(const nimbus_io *io) {
    nimbus_drive *drive = NULL;
    struct counter c = {0, 0, 1, 0};
    struct kept k;
    int gets;

    CHECK(nimbus_drive_open(settings, io, &drive) == NIMBUS_OK);
    /* A file is not a folder; an empty folder is one. */
    CHECK(nimbus_drive_list(drive, "/song.mp3", count_entry, &c) == NIMBUS_E_NOT_FOLDER);
    CHECK(strcmp(nimbus_last_error(), "/song.mp3 is a file, not a folder") == 0);
    CHECK(nimbus_drive_list(drive, "/Empty", count_entry, &c) == NIMBUS_OK && c.seen == 0);
    /* Malformed arguments are refused before any request. */
    gets = svc.gets;
    CHECK(nimbus_drive_list(drive, "/a/../b", count_entry, &c) == NIMBUS_E_BAD_PATH);
    CHECK(strcmp(nimbus_last_error(), "folder is not a valid drive path") == 0);
    CHECK(nimbus_drive_item(drive, "x..y", keep_entry, &k) == NIMBUS_E_BAD_PATH);
    CHECK(nimbus_drive_item(drive, "", keep_entry, &k) == NIMBUS_E_BAD_PATH);
    CHECK(svc.gets == gets);
    CHECK(nimbus_drive_list(drive, "/Nope", count_entry, &c) == NIMBUS_E_NOT_FOUND);
    CHECK(strcmp(nimbus_last_error(),
                 "children: " GRAPH "/me/drive/root:/Nope:/children" FIRST " answered HTTP 404: "
                 "{\"error\":{\"code\":\"itemNotFound\",\"message\":\"Item does not exist\"}}") ==
          0);
    /* A folder looked up is no error: the entry says so. */
    memset(&k, 0, sizeof k);
    CHECK(nimbus_drive_item(drive, "/Music", keep_entry, &k) == NIMBUS_OK);
    CHECK(k.folder == 1 && strcmp(k.name, "Music") == 0 && k.has_path);
    /* Every cause has its own text. */
    CHECK(strcmp(nimbus_strerror(NIMBUS_E_NOT_FOLDER), "not a folder") == 0);
    CHECK(strcmp(nimbus_strerror(NIMBUS_E_IS_FOLDER), "is a folder") == 0);
    CHECK(strcmp(nimbus_strerror(NIMBUS_E_BAD_PATH), "malformed path") == 0);
    CHECK(strcmp(nimbus_strerror(NIMBUS_E_NOT_FOUND), "not found") == 0);
    CHECK(strcmp(nimbus_strerror(-7), "unknown result code") == 0);

    memset(&k, 0, sizeof k);
    CHECK(nimbus_drive_item(drive, "/song.mp3", keep_entry, &k) == NIMBUS_OK);
    CHECK(k.calls == 1 && !k.folder && k.size == 4000 && strcmp(k.mime, "audio/mpeg") == 0);
    CHECK(strcmp(k.url, "https://dl.example/S1") == 0);
    CHECK(strcmp(k.title, "Song") == 0 && strcmp(k.artist, "Band") == 0 &&
          strcmp(k.album, "Record") == 0);
    CHECK(k.track == 3 && k.year == 1999 && k.duration == 215000 && k.width == 0);
    memset(&k, 0, sizeof k);
    CHECK(nimbus_drive_item(drive, "V1", keep_entry, &k) == NIMBUS_OK);
    CHECK(strcmp(k.name, "clip.mp4") == 0 && !k.has_path && strcmp(k.mime, "video/mp4") == 0);
    CHECK(k.duration == 60500 && k.width == 1920 && k.height == 1080);
    CHECK(strcmp(k.title, "(null)") == 0 && k.track == 0 && strcmp(k.url, "(null)") == 0);
    nimbus_drive_close(drive);
}

static void sign_in(const nimbus_io *io) {
    const char *public_client = "{\"ClientId\":\"c-client\",\"PublicClient\":true}";
    const char *device = "{\"grant_type\":\"urn:ietf:params:oauth:grant-type:device_code\","
                         "\"device_code\":\"dev-1\"}";
    char out[256];
    int polls = 0, rc;
    nimbus_drive *drive = NULL;
    struct counter c = {0, 7, 1, 0};

    /* Authorization code with PKCE; the settings need no refresh token. */
    rc = nimbus_token_grant("{\"ClientId\":\"c-client\",\"ClientSecret\":\"c-secret\"}", io,
                            "{\"grant_type\":\"authorization_code\",\"code\":\"the-code\","
                            "\"redirect_uri\":\"http://localhost:5000/\","
                            "\"code_verifier\":\"v-123\"}",
                            out, (int32_t)sizeof out);
    CHECK(rc == NIMBUS_OK);
    CHECK(strcmp(out, "{\"refresh_token\":\"rt-code\",\"expires_in\":3599}") == 0);
    CHECK(strstr(svc.last_form, "&code=the-code&redirect_uri=http%3A%2F%2Flocalhost%3A5000%2F"
                                "&code_verifier=v-123&client_id=c-client"
                                "&client_secret=c-secret&scope=") != NULL);

    /* Device code: pending until the user finishes; slow_down says so. */
    svc.pending = 3;
    while ((rc = nimbus_token_grant(public_client, io, device, out, (int32_t)sizeof out)) ==
               NIMBUS_E_PENDING &&
           polls < 10) {
        polls++;
        CHECK(strncmp(nimbus_last_error(), polls < 3 ? "authorization_pending:" : "slow_down:",
                      polls < 3 ? 22 : 10) == 0);
        CHECK(!svc.secret_sent);
    }
    CHECK(rc == NIMBUS_OK && polls == 3);
    CHECK(strcmp(out, "{\"refresh_token\":\"rt-dev\",\"expires_in\":3600}") == 0);

    /* A public client's refresh grant sends no secret either; without
     * PublicClient a missing secret is still a fault. */
    CHECK(nimbus_drive_open("{\"ClientId\":\"c-client\",\"PublicClient\":true,"
                            "\"refresh_token\":\"rt-dev\"}",
                            io, &drive) == NIMBUS_OK);
    CHECK(nimbus_drive_list(drive, "/Big", count_entry, &c) == NIMBUS_E_STOPPED);
    CHECK(strcmp(svc.presented, "rt-dev") == 0 && !svc.secret_sent);
    nimbus_drive_close(drive);
    drive = NULL;
    CHECK(nimbus_drive_open("{\"ClientId\":\"c-client\",\"refresh_token\":\"rt\"}", io, &drive) ==
          NIMBUS_E_INVALID);
    CHECK(drive == NULL && strcmp(nimbus_last_error(), "ClientSecret is required") == 0);
}

int main(void) {
    nimbus_io io;
    io.ctx = NULL;
    io.get = host_get;
    io.post = host_post;
    io.free = NULL;

    listing_and_rotation(&io);
    causes_and_metadata(&io);
    sign_in(&io);
    if (failures) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    puts("C drive host: all checks passed");
    return 0;
}
