// Throughput of the Graph wire format on a listing of 100000 entries: 500
// children pages of 200 driveItems each, shaped as Microsoft Graph sends
// them (about 1.3 KB per item, 128 MB in all).
//
//   floor     yyjson_read + yyjson_doc_free of every page: parsing alone
//   pipeline  nimbus_parse_children_page of every page into one list, then
//             nimbus_items_json of the list
//
// BM_Wire runs both in one run and reports their input MB/s, the ratio of the
// pipeline's throughput to the floor's, the list's heap bytes per entry and
// the time per entry spent beyond parsing.
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <yyjson.h>

#include "graph/graph.h"

namespace {

constexpr int PAGES = 500;
constexpr int PER_PAGE = 200;

// A small deterministic generator, so every run sees the same pages.
struct rng {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    template <size_t N> const char *pick(const char *const (&a)[N]) { return a[below(N)]; }
};

const char *const words[] = {
    "Café",     "del",   "Mar",     "Señor",      "Björk",    "Sigur",   "Rós",      "Motörhead",
    "naïve",    "Zoë",   "Live",    "at",         "the",      "Olympia", "Paris",    "Ænima",
    "Déjà",     "Vu",    "Über",    "Alles",      "Crème",    "Brûlée",  "Nocturne", "Op.",
    "Symphony", "No.",   "Requiem", "Remastered", "Demo",     "Take",    "Mix",      "Édition",
    "São",      "Paulo", "Kraków",  "Nights",     "Ångström", "Fjørd",   "Ça",       "Ira"};
const char *const artists[] = {"AC/DC",       "Sigur Rós",   "Björk",   "Motörhead", "Daft Punk",
                               "Café Tacvba", "Mötley Crüe", "Beyoncé", "Queen",     "Röyksopp"};

struct kind {
    const char *ext;
    const char *mime;
    int facet; // 0 folder, 1 audio, 2 video, 3 photo, 4 document
};
const kind kinds[] = {{"", "", 0},
                      {".flac", "audio/flac", 1},
                      {".mp3", "audio/mpeg", 1},
                      {".m4a", "audio/mp4", 1},
                      {".mkv", "video/x-matroska", 2},
                      {".mp4", "video/mp4", 2},
                      {".jpg", "image/jpeg", 3},
                      {".pdf", "application/pdf", 4}};
const int kind_weights[] = {10, 25, 20, 10, 8, 7, 15, 5}; // percent

const char B32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

std::string graph_id(rng &r) {
    std::string id = "01BYE5RZ";
    for (int i = 0; i < 26; i++)
        id += B32[r.below(32)];
    return id;
}

std::string guid(rng &r) {
    static const char hex[] = "0123456789abcdef";
    std::string g;
    for (int i = 0; i < 32; i++) {
        if (i == 8 || i == 12 || i == 16 || i == 20)
            g += '-';
        g += hex[r.below(16)];
    }
    return g;
}

std::string timestamp(rng &r, bool fraction) {
    char t[40];
    std::snprintf(t, sizeof t, "20%02zu-%02zu-%02zuT%02zu:%02zu:%02zu", 10 + r.below(15),
                  1 + r.below(12), 1 + r.below(28), r.below(24), r.below(60), r.below(60));
    std::string s = t;
    if (fraction) {
        std::snprintf(t, sizeof t, ".%03zu", r.below(1000));
        s += t;
    }
    return s + "Z";
}

std::string name_for(rng &r, const kind &k, int n) {
    std::string name;
    if (k.facet == 1 || k.facet == 2) {
        char num[8];
        std::snprintf(num, sizeof num, "%02d - ", n % 20 + 1);
        name = num;
        if (r.below(6) == 0)
            name += std::string(r.pick(artists)) + " - ";
    } else if (k.facet == 0 && r.below(4) == 0) {
        name = std::string(r.pick(artists)) + " ";
    }
    size_t w = 2 + r.below(4);
    for (size_t i = 0; i < w; i++) {
        if (i)
            name += ' ';
        name += r.pick(words);
    }
    if (r.below(40) == 0)
        name += " (Live/Unplugged)";
    if (r.below(60) == 0)
        name += " \\\"Bonus\\\""; // an escaped quote in the JSON text
    return name + k.ext;
}

const std::string drive_id = "b!-RIj2DuyvEyV1T4NlOaMHk8XkS_I8MdFlUCq1BlcjgmhRfAj3-Z8RY2VpuvV_tpd";
const std::string parent_id = "01BYE5RZ6QN3ZWBTUFOFD3GSPGOHDJD36K";
const std::string web = "https://contoso-my.sharepoint.com/personal/megan_contoso_com/Documents/";

void user(std::string &s, const char *key, rng &r) {
    s += "\"";
    s += key;
    s += "\":{\"user\":{\"displayName\":\"Megan Bowen\",\"id\":\"";
    s += guid(r).substr(24);
    s += "\"}}";
}

void drive_item(std::string &s, rng &r, int n) {
    int roll = static_cast<int>(r.below(100)), acc = 0;
    const kind *k = &kinds[0];
    for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; i++) {
        acc += kind_weights[i];
        if (roll < acc) {
            k = &kinds[i];
            break;
        }
    }
    std::string id = graph_id(r), name = name_for(r, *k, n), etag = guid(r);
    std::string created = timestamp(r, false), modified = timestamp(r, r.below(2) == 0);
    uint64_t size = k->facet == 0 ? r.below(1ull << 34) : 1000 + r.below(1ull << 30);
    s += "{";
    if (k->facet != 0) {
        s += "\"@microsoft.graph.downloadUrl\":\"https://contoso-my.sharepoint.com/personal/"
             "megan_contoso_com/_layouts/15/download.aspx?UniqueId=";
        s += etag;
        s += "&tempauth=eyJ0eXAiOiJKV1QifQ.eyJhdWQiOiIwMDAwMDAwMyJ9.\",";
    }
    s += "\"createdDateTime\":\"" + created + "\",\"eTag\":\"\\\"{" + etag + "},3\\\"\",\"id\":\"" +
         id + "\",\"lastModifiedDateTime\":\"" + modified + "\",\"name\":\"" + name +
         "\",\"webUrl\":\"" + web + "Albums/" + id + "\",\"cTag\":\"\\\"c:{" + etag +
         "},3\\\"\",\"size\":" + std::to_string(size) + ",";
    user(s, "createdBy", r);
    s += ",";
    user(s, "lastModifiedBy", r);
    s += ",\"parentReference\":{\"driveType\":\"business\",\"driveId\":\"" + drive_id +
         "\",\"id\":\"" + parent_id + "\",\"path\":\"/drive/root:/Albums\"}";
    s += ",\"fileSystemInfo\":{\"createdDateTime\":\"" + created +
         "\",\"lastModifiedDateTime\":\"" + modified + "\"}";
    switch (k->facet) {
    case 0:
        s += ",\"folder\":{\"childCount\":" + std::to_string(r.below(300)) + "}";
        break;
    case 1:
        s += ",\"audio\":{\"album\":\"Café del Mar, Vol. " + std::to_string(1 + r.below(9)) +
             "\",\"artist\":\"" + r.pick(artists) +
             "\",\"bitrate\":" + std::to_string(128 + r.below(1300)) +
             ",\"duration\":" + std::to_string(60000 + r.below(400000)) + ",\"title\":\"" +
             r.pick(words) + "\",\"track\":" + std::to_string(n % 20 + 1) + ",\"year\":19" +
             std::to_string(70 + r.below(30)) + "}";
        break;
    case 2:
        s += ",\"video\":{\"audioChannels\":2,"
             "\"duration\":" +
             std::to_string(r.below(9000000)) +
             ",\"fourCC\":\"avc1\",\"frameRate\":29.97,\"height\":1080,\"width\":1920}";
        break;
    case 3:
        s += ",\"image\":{\"height\":3024,\"width\":4032},\"photo\":{\"cameraMake\":\"Google\","
             "\"cameraModel\":\"Pixel 4a\",\"fNumber\":1.7,\"focalLength\":4.38,\"iso\":88,"
             "\"takenDateTime\":\"" +
             created + "\"}";
        break;
    default:
        break;
    }
    if (k->facet != 0) {
        s += ",\"file\":{\"mimeType\":\"";
        s += k->mime;
        s += "\",\"hashes\":{\"quickXorHash\":\"3HYdWmGOpwLV3CIOE/hZyGw8nTY=\"}}";
    }
    if (r.below(5) == 0)
        s += ",\"shared\":{\"scope\":\"users\"}";
    s += "}";
}

struct corpus {
    std::vector<std::string> pages;
    size_t bytes = 0;
    corpus() {
        rng r;
        for (int p = 0; p < PAGES; p++) {
            std::string s;
            s.reserve(PER_PAGE * 1300);
            s += "{\"@odata.context\":\"https://graph.microsoft.com/v1.0/$metadata#users('48d31887-"
                 "5fad-4d73-a9f5-3c356e68a038')/drive/items('" +
                 parent_id + "')/children\",";
            if (p + 1 < PAGES)
                s += "\"@odata.nextLink\":\"https://graph.microsoft.com/v1.0/me/drive/items/" +
                     parent_id + "/children?$top=200&$skiptoken=UGFnZWQ9VFJVRSZwX0lEPT" +
                     std::to_string(p) + "\",";
            s += "\"value\":[";
            for (int i = 0; i < PER_PAGE; i++) {
                if (i)
                    s += ",";
                drive_item(s, r, i);
            }
            s += "]}";
            bytes += s.size();
            pages.push_back(std::move(s));
        }
    }
};

const corpus &pages() {
    static const corpus c;
    return c;
}

void floor_pass(const corpus &c) {
    for (const std::string &p : c.pages) {
        yyjson_doc *doc = yyjson_read(p.data(), p.size(), 0);
        if (!doc)
            std::abort();
        benchmark::DoNotOptimize(doc);
        yyjson_doc_free(doc);
    }
}

// Parses every page into list and writes the entry JSON into out.
void pipeline_pass(const corpus &c, nimbus_items *list, nimbus_buf *out) {
    char msg[NIMBUS_MSG_SIZE];
    for (const std::string &p : c.pages) {
        char *next = nullptr;
        if (nimbus_parse_children_page(p.data(), p.size(), "", list, &next, msg, sizeof msg) !=
            NIMBUS_OK) {
            std::fprintf(stderr, "%s\n", msg);
            std::abort();
        }
        std::free(next);
    }
    if (nimbus_items_json(out, list, "") != 0)
        std::abort();
}

// Releasing 300000 small blocks leaves work for the allocator's next large
// request (merging its free lists); done here, outside the timed passes, so
// neither pass pays for the previous one's cleanup.
void settle_heap() {
    malloc_trim(0);
}

size_t heap_in_use() {
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// Heap bytes the list holds per entry, malloc's own overhead included.
double list_bytes_per_entry(const corpus &c) {
    nimbus_items list{};
    size_t before = heap_in_use();
    char msg[NIMBUS_MSG_SIZE];
    for (const std::string &p : c.pages)
        if (nimbus_parse_children_page(p.data(), p.size(), "", &list, nullptr, msg, sizeof msg) !=
            NIMBUS_OK)
            std::abort();
    size_t after = heap_in_use();
    double per = static_cast<double>(after - before) / static_cast<double>(list.count);
    nimbus_items_free(&list);
    return per;
}

void BM_Floor(benchmark::State &state) {
    const corpus &c = pages();
    for (auto _ : state)
        floor_pass(c);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes));
}

void BM_Pipeline(benchmark::State &state) {
    const corpus &c = pages();
    size_t json = 0;
    for (auto _ : state) {
        nimbus_items list{};
        nimbus_buf out{};
        pipeline_pass(c, &list, &out);
        state.PauseTiming();
        json = out.len;
        nimbus_buf_free(&out);
        nimbus_items_free(&list);
        settle_heap();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes));
    state.counters["json_MB"] = static_cast<double>(json) / 1e6;
}

// The two halves of the pipeline apart: pages into the list, list into JSON.
void BM_PagesIntoList(benchmark::State &state) {
    const corpus &c = pages();
    char msg[NIMBUS_MSG_SIZE];
    for (auto _ : state) {
        nimbus_items list{};
        for (const std::string &p : c.pages)
            if (nimbus_parse_children_page(p.data(), p.size(), "", &list, nullptr, msg,
                                           sizeof msg) != NIMBUS_OK)
                std::abort();
        state.PauseTiming();
        nimbus_items_free(&list);
        settle_heap();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes));
}

void BM_ListIntoJson(benchmark::State &state) {
    const corpus &c = pages();
    nimbus_items list{};
    nimbus_buf out{};
    pipeline_pass(c, &list, &out);
    for (auto _ : state) {
        nimbus_buf b{};
        if (nimbus_items_json(&b, &list, "") != 0)
            std::abort();
        state.PauseTiming();
        nimbus_buf_free(&b);
        settle_heap();
        state.ResumeTiming();
    }
    state.counters["json_MB/s"] = benchmark::Counter(
        static_cast<double>(out.len) * static_cast<double>(state.iterations()) / 1e6,
        benchmark::Counter::kIsRate);
    nimbus_buf_free(&out);
    nimbus_items_free(&list);
}

// CPU time of this thread, so other load on the machine does not count.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Both passes in one run, timed separately in every iteration.
void BM_Wire(benchmark::State &state) {
    const corpus &c = pages();
    double floor_s = 0, pipe_s = 0;
    size_t entries = 0;
    for (auto _ : state) {
        double t0 = cpu_seconds();
        floor_pass(c);
        double t1 = cpu_seconds();
        nimbus_items list{};
        nimbus_buf out{};
        pipeline_pass(c, &list, &out);
        double t2 = cpu_seconds();
        state.PauseTiming();
        entries = list.count;
        nimbus_buf_free(&out);
        nimbus_items_free(&list);
        settle_heap();
        state.ResumeTiming();
        floor_s += t1 - t0;
        pipe_s += t2 - t1;
    }
    if (entries != static_cast<size_t>(PAGES) * PER_PAGE)
        state.SkipWithError("the pages did not give 100000 entries");
    double mb = static_cast<double>(c.bytes) * static_cast<double>(state.iterations()) / 1e6;
    double n = static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes));
    state.counters["input_MB"] = static_cast<double>(c.bytes) / 1e6;
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["floor_MB/s"] = mb / floor_s;
    state.counters["pipeline_MB/s"] = mb / pipe_s;
    state.counters["ratio"] = floor_s / pipe_s;
    state.counters["ns/entry_beyond_parse"] =
        (pipe_s - floor_s) / n / static_cast<double>(entries) * 1e9;
    state.counters["list_bytes/entry"] = list_bytes_per_entry(c);
}

BENCHMARK(BM_Floor)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Pipeline)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PagesIntoList)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ListIntoJson)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_Wire)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
