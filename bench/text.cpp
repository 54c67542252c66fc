// Text helpers on the listing's hot path: the ISO 8601 reader, JSON string
// output and URL redaction.
#include <benchmark/benchmark.h>

#include "text/text.h"

namespace {

const char *const stamps[] = {"2024-02-29T12:34:56.789Z", "2019-07-01T08:00:00Z",
                              "2023-11-05T23:59:59.1+01:00", "1999-12-31T00:00:00.12Z"};

void iso8601_reader(benchmark::State &state) {
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(nimbus_iso8601_ms(stamps[i++ & 3]));
}
BENCHMARK(iso8601_reader);

void json_string(benchmark::State &state) {
    nimbus_buf b{};
    for (auto _ : state) {
        b.len = 0;
        nimbus_buf_json_str(&b, "Some \"Artist\" - Track 01\t(Live).flac");
    }
    nimbus_buf_free(&b);
}
BENCHMARK(json_string);

void redact_url(benchmark::State &state) {
    char out[NIMBUS_URL_MSG];
    for (auto _ : state)
        nimbus_redact_into("https://user:pw@graph.example/v1.0/me/drive/items/ABC?tempauth=eyJ0eX"
                           "AiOiJKV1QiLCJhbGciOi&download=1#frag",
                           out, sizeof out);
}
BENCHMARK(redact_url);

} // namespace

BENCHMARK_MAIN();
