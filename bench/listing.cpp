// Listing throughput and memory.
//
// BM_List100k: 100000 entries (500 pages of 200 Graph-like driveItems of about
// 1.5 KB each, scripted in the fake transport) through nimbus_list with a
// large caller buffer and a cached token. Counters: entries_per_s (thread CPU
// time); yyjson_ratio, the listing's throughput over that of yyjson_read alone
// on the same 500 page bodies (thread CPU time; every iteration times both,
// so that load from elsewhere on the machine falls on both sides alike);
// peak_over_json, the largest growth of live heap bytes during one request
// (counted by the malloc wrappers below, usable sizes, relative to what was
// live when the request started) divided by the size of the entry JSON;
// rss_peak_over_json, the growth of the resident set during that request (peak
// resident size after freed memory went back to the system, less the resident
// size at its start) over the same size.
//
// BM_DriveList100k: the same drive through nimbus_drive_list and a counting
// callback (the streaming path), with the same counters.
//
// BM_OnePage*: requests/s of a one-page listing (20 driveItems) with a cached
// token on 1 and 2 threads, through the fake transport (its routes sit behind
// one lock) and through a lock-free host transport given to the handler
// record; blocking_waits_per_req counts voluntary context switches per request
// (a contended lock puts a thread to sleep).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <yyjson.h>

#include "nimbus.h"

// ---- Live heap counting ---------------------------------------------------
// The process's malloc family forwards to glibc and, while counting is on,
// keeps the live byte total and its peak.

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

void counted(void *p, long long sign) {
    if (!p || !g_counting.load(std::memory_order_relaxed))
        return;
    long long now = g_live.fetch_add(sign * (long long)malloc_usable_size(p)) +
                    sign * (long long)malloc_usable_size(p);
    long long peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

} // namespace

extern "C" {
void *malloc(size_t n) {
    void *p = __libc_malloc(n);
    counted(p, 1);
    return p;
}
void *calloc(size_t a, size_t b) {
    void *p = __libc_calloc(a, b);
    counted(p, 1);
    return p;
}
void *realloc(void *old, size_t n) {
    counted(old, -1);
    void *p = __libc_realloc(old, n);
    counted(p ? p : old, 1);
    return p;
}
void free(void *p) {
    counted(p, -1);
    __libc_free(p);
}
void *memalign(size_t a, size_t n) {
    void *p = __libc_memalign(a, n);
    counted(p, 1);
    return p;
}
void *aligned_alloc(size_t a, size_t n) {
    return memalign(a, n);
}
int posix_memalign(void **out, size_t a, size_t n) {
    void *p = memalign(a, n);
    if (!p)
        return 12; // ENOMEM
    *out = p;
    return 0;
}
}

// ---- Scripted drive -------------------------------------------------------

namespace {

const char *const kToken = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
const std::string kRoot = "https://graph.microsoft.com/v1.0/me/drive/root/children";
const char *const kSettings = "{\"ClientId\":\"bench-client\",\"ClientSecret\":\"bench-secret\","
                              "\"refresh_token\":\"bench-refresh\"}";

std::string hex(unsigned v, int width) {
    char b[32];
    std::snprintf(b, sizeof b, "%0*X", width, v);
    return b;
}

// One driveItem shaped like Graph's, about 1 KB.
std::string drive_item(int n) {
    std::string id = "01BYE5RZ" + hex(n * 2654435761u, 8) + hex(n, 8) + "Q2CQ";
    std::string guid = hex(n * 40503u, 8) + "-4A1B-4C2D-9E3F-" + hex(n * 69069u, 8) + "0ABC";
    std::string name = "Track " + std::to_string(n % 1000) + " - The Example Ensemble (" +
                       std::to_string(n) + ").flac";
    return "{\"@odata.etag\":\"\\\"{" + guid +
           "},3\\\"\","
           "\"@microsoft.graph.downloadUrl\":\"https://public.dl.example.net/y4m" +
           hex(n * 7u, 8) + "aZ3k9Qx7LmT2pR8sVb1NcD4eFg6HhJ0iKlMnOpQrStUvWxYz-_AbCdEfGhIjKlMnOp" +
           "QrStUvWxYz0123456789AbCdEfGhIjKlMnOpQrStUvWx?download=1&psid=1\","
           "\"createdDateTime\":\"2021-03-04T12:34:56Z\",\"cTag\":\"\\\"c:{" +
           guid + "},2\\\"\",\"eTag\":\"\\\"{" + guid + "},3\\\"\",\"id\":\"" + id +
           "\",\"lastModifiedDateTime\":\"2023-05-06T07:08:09.123Z\",\"name\":\"" + name +
           "\",\"size\":" + std::to_string(1000000 + n * 37) +
           ",\"webUrl\":\"https://drive.example.net/redir?resid=" + id +
           "\",\"createdBy\":{\"application\":{\"displayName\":\"Sync\",\"id\":\"4a1b2c3d\"},"
           "\"user\":{\"displayName\":\"Alex Example\",\"id\":\"a1b2c3d4e5f6\"}},"
           "\"lastModifiedBy\":{\"user\":{\"displayName\":\"Alex "
           "Example\",\"id\":\"a1b2c3d4e5f6\"}},"
           "\"parentReference\":{\"driveId\":\"a1b2c3d4e5f6\",\"driveType\":\"personal\","
           "\"id\":\"01BYE5RZ6QN3ZWBTUFOFD3GSPGOHDJD36K\",\"path\":\"/drive/root:/Music\"},"
           "\"file\":{\"mimeType\":\"audio/flac\",\"hashes\":{\"quickXorHash\":\"" +
           hex(n * 31u, 8) + "dGhpcyBpcyBhIGhhc2g=\",\"sha1Hash\":\"" + hex(n, 8) +
           "A94A8FE5CCB19BA61C4C0873D391E987982FBBD3\",\"sha256Hash\":\"" + hex(n, 8) +
           "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08\"}},"
           "\"fileSystemInfo\":{\"createdDateTime\":\"2021-03-04T12:34:56Z\","
           "\"lastModifiedDateTime\":\"2023-05-06T07:08:09Z\"},"
           "\"audio\":{\"album\":\"Example Album\",\"artist\":\"The Example Ensemble\","
           "\"bitrate\":1411,\"duration\":245000,\"hasDrm\":false,\"isVariableBitrate\":false,"
           "\"title\":\"Track " +
           std::to_string(n % 1000) + "\",\"track\":" + std::to_string(n % 20 + 1) +
           ",\"year\":2019}}";
}

std::string page_url(int p) {
    return p == 0 ? kRoot + "?$top=200" : kRoot + "?$top=200&$skiptoken=" + hex(p * 977u, 12);
}

std::vector<std::string> &pages() {
    static std::vector<std::string> bodies = [] {
        std::vector<std::string> v;
        for (int p = 0; p < 500; p++) {
            std::string s = "{\"@odata.context\":\"https://graph.microsoft.com/v1.0/$metadata#"
                            "users('alex')/drive/root/children\",\"value\":[";
            for (int i = 0; i < 200; i++)
                s += (i ? "," : "") + drive_item(p * 200 + i);
            s += "]";
            if (p < 499)
                s += ",\"@odata.nextLink\":\"" + page_url(p + 1) + "\"";
            v.push_back(s + "}");
        }
        return v;
    }();
    return bodies;
}

void script_drive() {
    nimbus_forget_tokens();
    nimbus_fake_reset();
    nimbus_use_fake();
    nimbus_fake_set("POST", kToken, 200,
                    "{\"access_token\":\"bench-access\",\"expires_in\":86400}");
    for (int p = 0; p < 500; p++)
        nimbus_fake_set("GET", page_url(p).c_str(), 200, pages()[p].c_str());
}

// A "Vm...:" line of /proc/self/status in bytes, 0 when missing.
double vm_bytes(const char *key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    size_t n = std::strlen(key);
    while (std::getline(status, line))
        if (line.compare(0, n, key) == 0)
            return std::atof(line.c_str() + n) * 1024;
    return 0;
}

// Resets the peak resident size to the current one.
void reset_peak_rss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// CPU time of the calling thread (user and system): the machine may be busy
// with other work, which wall-clock time would charge to whichever side ran
// while it was.
double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Thread CPU seconds of one yyjson_read of every page body.
double read_pages_s() {
    double t0 = thread_cpu_s();
    for (const std::string &body : pages()) {
        yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
        benchmark::DoNotOptimize(doc);
        yyjson_doc_free(doc);
    }
    return thread_cpu_s() - t0;
}

// Times list (one whole listing of the drive; false on failure, the error
// then in nimbus_last_error()) against yyjson_read of the same pages, both
// in every iteration, so that other load on the machine falls on both sides
// alike; then makes one more listing with the heap counted. json_len is the
// size of the entry JSON nimbus_list answers for the drive.
template <class List> void compare(benchmark::State &state, size_t json_len, List list) {
    double list_s = 0;
    double read_s = 0;
    for (auto _ : state) {
        double t0 = thread_cpu_s();
        bool ok = list();
        list_s += thread_cpu_s() - t0;
        if (!ok) {
            state.SkipWithError(nimbus_last_error());
            return;
        }
        state.PauseTiming();
        read_s += read_pages_s();
        state.ResumeTiming();
    }
    // Live bytes start at 0 when the counted listing starts; frees of blocks
    // made before it (the previous answer) lower the count, so the peak is
    // the real growth of the heap.
    malloc_trim(0);
    reset_peak_rss();
    double rss_before = vm_bytes("VmRSS:");
    g_live = 0;
    g_peak = 0;
    g_counting = true;
    list();
    g_counting = false;
    double rss_growth = vm_bytes("VmHWM:") - rss_before;
    state.SetItemsProcessed(state.iterations() * 100000);
    state.counters["entries_per_s"] = double(state.iterations()) * 100000 / list_s;
    state.counters["yyjson_entries_per_s"] = double(state.iterations()) * 100000 / read_s;
    state.counters["yyjson_ratio"] = read_s / list_s;
    state.counters["peak_over_json"] = double(g_peak.load()) / double(json_len);
    state.counters["rss_peak_over_json"] = rss_growth / double(json_len);
    state.counters["json_MB"] = double(json_len) / 1e6;
    size_t page_bytes = 0;
    for (const std::string &body : pages())
        page_bytes += body.size();
    state.counters["pages_MB"] = double(page_bytes) / 1e6;
}

template <class Call> void list_100k(benchmark::State &state, Call call) {
    const int32_t cap = 128 << 20;
    std::vector<char> out(cap);
    if (call(out.data(), cap) != NIMBUS_OK) { // caches the token
        state.SkipWithError(nimbus_last_error());
        return;
    }
    compare(state, std::strlen(out.data()), [&] { return call(out.data(), cap) == NIMBUS_OK; });
}

void BM_List100k(benchmark::State &state) {
    script_drive();
    list_100k(state,
              [](char *out, int32_t cap) { return nimbus_list(kSettings, nullptr, out, cap); });
    nimbus_fake_reset();
    nimbus_forget_tokens();
}
BENCHMARK(BM_List100k)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same drive behind a host transport without locks or route scans: one
// hash lookup and one copy per answer, through the handler record.
struct drive_io {
    std::unordered_map<std::string, const std::string *> bodies;
    static int get(void *ctx, const char *url, char **body, int32_t *status, char **) {
        auto *self = static_cast<drive_io *>(ctx);
        const char *marker = std::strstr(url, "#NIMBUS-BEARER:");
        std::string u(url, marker ? size_t(marker - url) : std::strlen(url));
        // Whole items, whatever a handle's $select asks for.
        size_t select = u.find("&$select=");
        if (select != std::string::npos)
            u.erase(select);
        auto it = self->bodies.find(u);
        const std::string *b = it == self->bodies.end() ? nullptr : it->second;
        static const std::string none;
        if (!b)
            b = &none;
        *body = static_cast<char *>(std::malloc(b->size() + 1));
        std::memcpy(*body, b->c_str(), b->size() + 1);
        *status = it == self->bodies.end() ? 404 : 200;
        return 0;
    }
    static int post(void *, const char *, const char *, const char *, char **answer,
                    int32_t *status, char **) {
        *answer = strdup("{\"access_token\":\"bench-access\",\"expires_in\":86400}");
        *status = 200;
        return 0;
    }
};

// The scripted drive behind a drive_io.
const nimbus_io *drive_transport() {
    static drive_io drive;
    static const nimbus_io io = {&drive, drive_io::get, drive_io::post, nullptr};
    if (drive.bodies.empty())
        for (int p = 0; p < 500; p++)
            drive.bodies[page_url(p)] = &pages()[p];
    return &io;
}

void BM_List100kHostTransport(benchmark::State &state) {
    nimbus_forget_tokens();
    list_100k(state, [](char *out, int32_t cap) {
        return hvtab_get()->list(drive_transport(), kSettings, nullptr, out, cap);
    });
    nimbus_forget_tokens();
}
BENCHMARK(BM_List100kHostTransport)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same 100000 entries through a drive handle: nimbus_drive_list streams
// them to a counting callback, page by page, with the handle's shared token
// (granted before the timing). Counters as for BM_List100k; peak_over_json
// is the heap growth of one listing over the size of the entry JSON that
// nimbus_list answers for the same drive.
int count_entry(void *ctx, const nimbus_entry *e) {
    auto *n = static_cast<size_t *>(ctx);
    *n += e->name[0] != '\0';
    return 0;
}

void BM_DriveList100k(benchmark::State &state) {
    const nimbus_io *io = drive_transport();
    nimbus_forget_tokens();
    size_t json_len = 0;
    {
        const int32_t cap = 128 << 20;
        std::vector<char> out(cap);
        if (hvtab_get()->list(io, kSettings, nullptr, out.data(), cap) != NIMBUS_OK) {
            state.SkipWithError(nimbus_last_error());
            return;
        }
        json_len = std::strlen(out.data());
    }
    nimbus_drive *handle = nullptr;
    size_t seen = 0;
    if (nimbus_drive_open(kSettings, io, &handle) != NIMBUS_OK ||
        nimbus_drive_list(handle, nullptr, count_entry, &seen) != NIMBUS_OK || seen != 100000) {
        state.SkipWithError(nimbus_last_error());
        nimbus_drive_close(handle);
        return;
    }
    compare(state, json_len, [&] {
        seen = 0;
        return nimbus_drive_list(handle, nullptr, count_entry, &seen) == NIMBUS_OK &&
               seen == 100000;
    });
    nimbus_drive_close(handle);
    nimbus_forget_tokens();
}
BENCHMARK(BM_DriveList100k)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- One-page listing on 1 and 2 threads ----------------------------------

std::string one_page() {
    std::string s = "{\"value\":[";
    for (int i = 0; i < 20; i++)
        s += (i ? "," : "") + drive_item(i);
    return s + "]}";
}

// Voluntary context switches of the calling thread so far.
long voluntary_switches() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return ru.ru_nvcsw;
}

// A host transport without any lock: one fixed page for every GET.
struct page_io {
    std::string body = one_page();
    static int get(void *ctx, const char *, char **body, int32_t *status, char **) {
        const std::string &b = static_cast<page_io *>(ctx)->body;
        *body = static_cast<char *>(std::malloc(b.size() + 1));
        std::memcpy(*body, b.c_str(), b.size() + 1);
        *status = 200;
        return 0;
    }
    static int post(void *, const char *, const char *, const char *, char **answer,
                    int32_t *status, char **) {
        const char *t = "{\"access_token\":\"bench-access\",\"expires_in\":86400}";
        *answer = static_cast<char *>(std::malloc(std::strlen(t) + 1));
        std::memcpy(*answer, t, std::strlen(t) + 1);
        *status = 200;
        return 0;
    }
};

void BM_OnePageFake(benchmark::State &state) {
    if (state.thread_index() == 0) {
        nimbus_forget_tokens();
        nimbus_fake_reset();
        nimbus_use_fake();
        nimbus_fake_set("POST", kToken, 200,
                        "{\"access_token\":\"bench-access\",\"expires_in\":86400}");
        nimbus_fake_set("GET", (kRoot + "?$top=200").c_str(), 200, one_page().c_str());
        nimbus_list(kSettings, nullptr, nullptr, 0); // caches the token
    }
    std::vector<char> out(1 << 16);
    long waits = voluntary_switches();
    for (auto _ : state) {
        if (nimbus_list(kSettings, nullptr, out.data(), 1 << 16) != NIMBUS_OK) {
            state.SkipWithError(nimbus_last_error());
            break;
        }
    }
    // A request that waits for a lock held by the other thread blocks and
    // shows here; a machine busy with other work preempts instead.
    state.counters["blocking_waits_per_req"] = benchmark::Counter(
        double(voluntary_switches() - waits), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OnePageFake)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

page_io g_page_io;
const nimbus_io g_host_io = {&g_page_io, page_io::get, page_io::post, nullptr};

void BM_OnePageHostTransport(benchmark::State &state) {
    if (state.thread_index() == 0) {
        nimbus_forget_tokens();
        hvtab_get()->list(&g_host_io, kSettings, nullptr, nullptr, 0); // caches the token
    }
    std::vector<char> out(1 << 16);
    long waits = voluntary_switches();
    for (auto _ : state) {
        if (hvtab_get()->list(&g_host_io, kSettings, nullptr, out.data(), 1 << 16) != NIMBUS_OK) {
            state.SkipWithError(nimbus_last_error());
            break;
        }
    }
    // A request that waits for a lock held by the other thread blocks and
    // shows here; a machine busy with other work preempts instead.
    state.counters["blocking_waits_per_req"] = benchmark::Counter(
        double(voluntary_switches() - waits), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OnePageHostTransport)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// Reference for the two above: the same thread counts doing pure CPU work
// with no shared state, which shows how far this machine lets two threads
// scale while they run (other load on the machine caps it).
void BM_CpuReference(benchmark::State &state) {
    uint64_t h = 1469598103934665603ull + uint64_t(state.thread_index());
    for (auto _ : state) {
        for (int i = 0; i < 20000; i++)
            h = (h ^ uint64_t(i)) * 1099511628211ull;
        benchmark::DoNotOptimize(h);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CpuReference)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
