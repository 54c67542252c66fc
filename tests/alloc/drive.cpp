// Allocation-failure scenarios of the drive handle and the sign-in grant:
// every call either succeeds with its complete answer or, when an
// allocation failed on its way, answers NIMBUS_E_NOMEM with "out of memory";
// nothing leaks (the program checks after each run).
#include <nimbus.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "harness.h"

extern "C" {
void *__libc_malloc(size_t n);
void __libc_free(void *p);
}

namespace harness {
namespace {

// The service behind the host's table. It allocates nothing on the tracked
// thread: its routes are made before the armed region, its answers come from
// the C library's own allocator, which the failure injection does not reach.
struct route {
    char url[320];
    char body[512];
};
struct {
    int grants;
    route routes[14];
} g_svc;

// What the handle asks of each item: the members an entry is made of, and
// the download URL where it hands out playable entries (listings, look-ups,
// search; not walks and the change feed).
#define ENTRIES                                                                                    \
    "$select=id,name,size,lastModifiedDateTime,file,folder,remoteItem,parentReference,root,"       \
    "deleted,audio,video,photo,image"
#define PLAYABLE ENTRIES ",@microsoft.graph.downloadUrl"

// Fixed storage: the routes outlive the run, so they must not come from the
// tracked heap.
void make_routes() {
    const char *g = env().graph_base.c_str();
    route *r = g_svc.routes;
    std::snprintf(r[0].url, sizeof r[0].url, "%s/me/drive/root:/Music:/children?$top=200&" PLAYABLE,
                  g);
    std::snprintf(r[0].body, sizeof r[0].body,
                  R"({"value":[{"id":"A1","name":"a.mp3","size":3,"audio":{"title":"T",)"
                  R"("track":2}},{"id":"F1","name":"Live","folder":{}}],)"
                  R"("@odata.nextLink":"%s/me/drive/root:/Music:/children?$skiptoken=2"})",
                  g);
    // The walk's listing of /Music: the same page, without download URLs.
    std::snprintf(r[12].url, sizeof r[12].url,
                  "%s/me/drive/root:/Music:/children?$top=200&" ENTRIES, g);
    std::snprintf(r[12].body, sizeof r[12].body, "%s", r[0].body);
    std::snprintf(r[1].url, sizeof r[1].url, "%s/me/drive/root:/Music:/children?$skiptoken=2", g);
    std::snprintf(r[1].body, sizeof r[1].body, "%s",
                  R"({"value":[{"id":"A1","name":"dup"},{"id":"B2","name":"b.flac"}]})");
    std::snprintf(r[2].url, sizeof r[2].url,
                  "%s/me/drive/root:/Music/a.mp3:/children?$top=200&" PLAYABLE, g);
    std::snprintf(r[2].body, sizeof r[2].body, "%s", R"({"value":[]})");
    // The file, as the listing's probe and a look-up ask for it.
    std::snprintf(r[3].url, sizeof r[3].url, "%s/me/drive/root:/Music/a.mp3", g);
    std::snprintf(r[3].body, sizeof r[3].body, "%s",
                  R"({"id":"A1","name":"a.mp3","size":3,"file":{"mimeType":"audio/mpeg"},)"
                  R"("@microsoft.graph.downloadUrl":"https://dl.example/a",)"
                  R"("video":{"width":640,"height":480,"duration":1000}})");
    std::snprintf(r[13].url, sizeof r[13].url, "%s/me/drive/root:/Music/a.mp3?" PLAYABLE, g);
    std::snprintf(r[13].body, sizeof r[13].body, "%s", r[3].body);
    std::snprintf(r[4].url, sizeof r[4].url, "%s/me/drive/root/search(q='a')?$top=200&" PLAYABLE,
                  g);
    std::snprintf(r[4].body, sizeof r[4].body, "%s",
                  R"({"value":[{"id":"A1","name":"a.mp3","parentReference":)"
                  R"({"path":"/drive/root:/Music"}}]})");
    std::snprintf(r[5].url, sizeof r[5].url, "%s/me/drive/root/delta?$top=200&" ENTRIES, g);
    std::snprintf(r[5].body, sizeof r[5].body,
                  R"({"value":[{"id":"C3","name":"c.mp3","parentReference":{"id":"F4"}},)"
                  R"({"id":"F4","name":"Box","folder":{},"parentReference":{"id":"P1"}},)"
                  R"({"id":"A1","name":"a.mp3","parentReference":{"id":"P1"}},)"
                  R"({"id":"Z9","deleted":{},"parentReference":{"id":"P2"}}],)"
                  R"("@odata.deltaLink":"%s/me/drive/root/delta?token=T1"})",
                  g);
    std::snprintf(r[6].url, sizeof r[6].url, "%s/me/drive/items/F1/children?$top=200&" ENTRIES, g);
    std::snprintf(r[6].body, sizeof r[6].body, "%s",
                  R"({"value":[{"id":"L1","name":"live.flac"}]})");
    // The change feed of /Music, a track before its folder.
    std::snprintf(r[7].url, sizeof r[7].url, "%s/me/drive/root:/Music?" ENTRIES, g);
    std::snprintf(r[7].body, sizeof r[7].body, "%s", R"({"id":"M0","name":"Music","folder":{}})");
    std::snprintf(r[8].url, sizeof r[8].url, "%s/me/drive/items/M0/delta?$top=1000&" ENTRIES, g);
    std::snprintf(r[8].body, sizeof r[8].body,
                  R"({"value":[{"id":"L1","name":"live.flac","parentReference":{"id":"F1"}},)"
                  R"({"id":"A1","name":"a.mp3","parentReference":{"id":"M0"}},)"
                  R"({"id":"F1","name":"Live","folder":{},"parentReference":{"id":"M0"}},)"
                  R"({"id":"B2","name":"b.flac","parentReference":{"id":"M0"}}],)"
                  R"("@odata.deltaLink":"%s/me/drive/root/delta?token=T2"})",
                  g);
    // A shortcut to a file on another drive, and that file.
    std::snprintf(r[9].url, sizeof r[9].url, "%s/me/drive/root:/Music/Link.flac?" PLAYABLE, g);
    std::snprintf(r[9].body, sizeof r[9].body, "%s",
                  R"({"id":"S1","name":"Link.flac","size":0,"remoteItem":{"id":"R1",)"
                  R"("size":7,"parentReference":{"driveId":"D2"}}})");
    std::snprintf(r[10].url, sizeof r[10].url, "%s/drives/D2/items/R1?" PLAYABLE, g);
    std::snprintf(r[10].body, sizeof r[10].body, "%s",
                  R"({"id":"R1","name":"r.flac","size":7,"file":{},)"
                  R"("@microsoft.graph.downloadUrl":"https://dl.example/r"})");
    // The feed's unnamed folder P1, looked up by id (P2 is gone: 404).
    std::snprintf(r[11].url, sizeof r[11].url, "%s/me/drive/items/P1?" ENTRIES, g);
    std::snprintf(r[11].body, sizeof r[11].body, "%s",
                  R"({"id":"P1","name":"Music","folder":{},"parentReference":)"
                  R"({"path":"/drive/root:"}})");
}

char *svc_copy(const char *s) {
    size_t n = std::strlen(s);
    char *p = static_cast<char *>(__libc_malloc(n + 1));
    if (p)
        std::memcpy(p, s, n + 1);
    return p;
}

int svc_answer(char **body, int32_t *status, int code, const char *text) {
    *body = svc_copy(text);
    *status = code;
    return *body ? 0 : -1;
}

int svc_get(void *, const char *url, char **body, int32_t *status, char **) {
    const char *marker = std::strstr(url, NIMBUS_BEARER_MARKER);
    size_t len = marker ? static_cast<size_t>(marker - url) : std::strlen(url);
    for (const route &r : g_svc.routes)
        if (std::strlen(r.url) == len && std::strncmp(r.url, url, len) == 0)
            return svc_answer(body, status, 200, r.body);
    return svc_answer(body, status, 404, R"({"error":{"code":"itemNotFound","message":"gone"}})");
}

int svc_post(void *, const char *, const char *form, const char *, char **body, int32_t *status,
             char **) {
    g_svc.grants++;
    if (form && std::strncmp(form, "client_id=", 10) == 0) // the device authorization
        return svc_answer(body, status, 200,
                          R"({"device_code":"DC-0001","user_code":"U-1","expires_in":900,)"
                          R"("verification_uri":"https://dev.example/login","message":"go\r\n"})");
    if (form && std::strstr(form, "grant_type=authorization_code"))
        return svc_answer(body, status, 200,
                          R"({"access_token":"AT-code-0001","refresh_token":"RT-code-0002",)"
                          R"("expires_in":3600})");
    char text[160];
    std::snprintf(text, sizeof text,
                  R"({"access_token":"AT-drive-0001","refresh_token":"RT-drive-%d",)"
                  R"("expires_in":3600})",
                  g_svc.grants);
    return svc_answer(body, status, 200, text);
}

void svc_free(void *, void *text) {
    __libc_free(text);
}

const nimbus_io SVC_IO = {nullptr, svc_get, svc_post, svc_free};
const char *SETTINGS = R"({"ClientId":"cid-drv-0001","ClientSecret":"sec-drv-9999",)"
                       R"("refresh_token":"RT-drive-0"})";
const char *WALK_SETTINGS = R"({"ClientId":"cid-drv-0001","ClientSecret":"sec-drv-9999",)"
                            R"("refresh_token":"RT-drive-0","WalkConcurrency":1,)"
                            R"("WalkMethod":"listing"})";
const char *FEED_SETTINGS = R"({"ClientId":"cid-drv-0001","ClientSecret":"sec-drv-9999",)"
                            R"("refresh_token":"RT-drive-0","WalkMethod":"changes"})";

// One call's outcome, recorded without allocating inside the armed region
// and judged after it: its complete answer, or NIMBUS_E_NOMEM after a
// failed allocation, with the message published (or none, when publishing
// itself ran out of memory).
struct call {
    const char *what;
    int code;
    int want;
    bool answer_ok;
    bool fired;
    char error[256];
};

void record(run &r, call *c, const char *what, int code, int want, bool answer_ok) {
    c->what = what;
    c->code = code;
    c->want = want;
    c->answer_ok = answer_ok;
    c->fired = r.fired_since_mark();
    std::snprintf(c->error, sizeof c->error, "%s", nimbus_last_error());
}

void judge(run &r, const call &c) {
    std::string error = c.error;
    r.outcome(c.what, c.code, error);
    if (c.code == c.want && c.answer_ok)
        return;
    if (c.fired && c.code == NIMBUS_E_NOMEM && (error == "out of memory" || error.empty()))
        return;
    r.fail("%s answered %d (%s)%s, wanted %d%s", c.what, c.code, c.error,
           c.answer_ok ? "" : " with a wrong answer", c.want, c.fired ? " or NIMBUS_E_NOMEM" : "");
}

// What a callback saw, in fixed storage.
struct seen {
    char paths[256];
    int track;
    int width;
    char url[64];
};

int collect(void *ctx, const nimbus_entry *e) {
    auto *s = static_cast<seen *>(ctx);
    size_t n = std::strlen(s->paths);
    std::snprintf(s->paths + n, sizeof s->paths - n, "%s;", e->path ? e->path : "?");
    if (e->track)
        s->track = e->track;
    if (e->width)
        s->width = e->width;
    if (e->download_url)
        std::snprintf(s->url, sizeof s->url, "%s", e->download_url);
    return 0;
}

int rotations = 0;
void on_token(void *, const char *) {
    rotations++;
}

void drive_calls(run &r) {
    make_routes();
    g_svc.grants = 0;
    rotations = 0;
    nimbus_drive *drive = nullptr;
    call calls[12] = {};
    int made = 0;
    seen list{}, item{}, none{}, found{}, changed{}, walked{}, fed{}, linked{};
    r.arm();
    int code = nimbus_drive_open(SETTINGS, &SVC_IO, &drive);
    record(r, &calls[made++], "nimbus_drive_open", code, NIMBUS_OK, drive != nullptr);
    if (drive) {
        nimbus_drive_on_token(drive, on_token, nullptr);
        code = nimbus_drive_list(drive, "/Music", collect, &list);
        record(r, &calls[made++], "nimbus_drive_list", code, NIMBUS_OK,
               std::strcmp(list.paths, "/Music/a.mp3;/Music/Live;/Music/b.flac;") == 0 &&
                   list.track == 2);
        code = nimbus_drive_item(drive, "/Music/a.mp3", collect, &item);
        record(r, &calls[made++], "nimbus_drive_item", code, NIMBUS_OK,
               std::strcmp(item.paths, "/Music/a.mp3;") == 0 && item.width == 640 &&
                   std::strcmp(item.url, "https://dl.example/a") == 0);
        code = nimbus_drive_item(drive, "/Music/Link.flac", collect, &linked);
        record(r, &calls[made++], "nimbus_drive_item of a file shortcut", code, NIMBUS_OK,
               std::strcmp(linked.paths, "/Music/Link.flac;") == 0 &&
                   std::strcmp(linked.url, "https://dl.example/r") == 0);
        code = nimbus_drive_list(drive, "/Music/a.mp3", collect, &none);
        record(r, &calls[made++], "nimbus_drive_list of a file", code, NIMBUS_E_NOT_FOLDER,
               none.paths[0] == '\0');
        code = nimbus_drive_search(drive, "a", collect, &found);
        record(r, &calls[made++], "nimbus_drive_search", code, NIMBUS_OK,
               std::strcmp(found.paths, "/Music/a.mp3;") == 0);
        char *cursor = nullptr;
        code = nimbus_drive_changes(drive, "/", nullptr, collect, &changed, &cursor);
        record(r, &calls[made++], "nimbus_drive_changes", code, NIMBUS_OK,
               cursor && std::strstr(cursor, "token=T1") &&
                   std::strcmp(changed.paths, "/Music/Box;/Music/a.mp3;/Music/Box/c.mp3;?;") == 0);
        std::free(cursor);
        nimbus_drive_close(drive);
    }
    // The walk on the calling thread alone, so every allocation is on it.
    drive = nullptr;
    code = nimbus_drive_open(WALK_SETTINGS, &SVC_IO, &drive);
    record(r, &calls[made++], "nimbus_drive_open (walk)", code, NIMBUS_OK, drive != nullptr);
    if (drive) {
        code = nimbus_drive_walk(drive, "/Music", 0, collect, &walked);
        record(r, &calls[made++], "nimbus_drive_walk", code, NIMBUS_OK,
               std::strcmp(walked.paths,
                           "/Music/a.mp3;/Music/Live;/Music/b.flac;/Music/Live/live.flac;") == 0);
        nimbus_drive_close(drive);
    }
    // The change-feed road runs on the calling thread.
    drive = nullptr;
    code = nimbus_drive_open(FEED_SETTINGS, &SVC_IO, &drive);
    record(r, &calls[made++], "nimbus_drive_open (feed)", code, NIMBUS_OK, drive != nullptr);
    if (drive) {
        code = nimbus_drive_walk(drive, "/Music", 0, collect, &fed);
        record(r, &calls[made++], "nimbus_drive_walk (feed)", code, NIMBUS_OK,
               std::strcmp(fed.paths,
                           "/Music/a.mp3;/Music/Live;/Music/Live/live.flac;/Music/b.flac;") == 0);
        nimbus_drive_close(drive);
    }
    r.disarm();
    for (int i = 0; i < made; i++)
        judge(r, calls[i]);
    // One rotation per grant that got an answer through to the host.
    if (rotations > g_svc.grants)
        r.fail("%d rotated tokens were handed over for %d grants", rotations, g_svc.grants);
}

void token_grant(run &r) {
    char out[512], url[512], device[512];
    out[0] = url[0] = device[0] = 'x';
    call c[3] = {};
    r.arm();
    int code = nimbus_token_grant(
        R"({"ClientId":"cid-drv-0001","ClientSecret":"sec-drv-9999"})", &SVC_IO,
        R"({"grant_type":"authorization_code","code":"code-0001","redirect_uri":"http://localhost/",)"
        R"("code_verifier":"verifier-0001"})",
        out, sizeof out);
    record(r, &c[0], "nimbus_token_grant", code, NIMBUS_OK,
           std::strcmp(out, R"({"refresh_token":"RT-code-0002","expires_in":3600})") == 0);
    code = nimbus_token_grant(
        R"({"ClientId":"cid-drv-0001","PublicClient":true})", nullptr,
        R"({"grant_type":"authorization_code","redirect_uri":"http://localhost/","state":"s 1",)"
        R"("code_challenge":"E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"})",
        url, sizeof url);
    record(r, &c[1], "nimbus_token_grant (authorize address)", code, NIMBUS_OK,
           std::strstr(url, "client_id=cid-drv-0001&response_type=code&") != nullptr &&
               std::strstr(url, "&state=s%201&") != nullptr);
    code = nimbus_token_grant(R"({"ClientId":"cid-drv-0001","PublicClient":true})", &SVC_IO,
                              R"({"grant_type":"urn:ietf:params:oauth:grant-type:device_code"})",
                              device, sizeof device);
    record(r, &c[2], "nimbus_token_grant (device authorization)", code, NIMBUS_OK,
           std::strcmp(device, R"({"device_code":"DC-0001","user_code":"U-1",)"
                               R"("verification_uri":"https://dev.example/login",)"
                               R"("expires_in":900,"interval":5,"message":"go  "})") == 0);
    r.disarm();
    for (const call &one : c)
        judge(r, one);
    if (code != NIMBUS_OK && device[0] != '\0')
        r.fail("a failed device authorization left \"%s\" in the buffer", device);
    if (leaks(c[0].error, {"sec-drv-9999", "code-0001", "verifier-0001", "AT-code-0001"}))
        r.fail("a secret reached the message: %s", c[0].error);
    if (leaks(c[2].error, {"DC-0001"}))
        r.fail("the device code reached the message: %s", c[2].error);
}

} // namespace

void drive_scenario(run &r) {
    drive_calls(r);
}

void token_grant_scenario(run &r) {
    token_grant(r);
}

} // namespace harness
