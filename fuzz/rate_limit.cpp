// The service's RateLimit-Limit, -Remaining and -Reset (three lines of the
// input): each reads as a number of at most nine digits or as missing;
// requests are paced exactly when the budget is low, and the turns given
// out never go backwards nor lie past the longest pause.
#include <chrono>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "throttle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string field[3];
    size_t at = 0;
    for (std::string &p : field) {
        size_t end = text.find('\n', at);
        p = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    cli::rate_budget b = cli::read_budget(field[0], field[1], field[2]);
    for (long v : {b.limit, b.remaining, b.reset})
        CHECK(v >= -1 && v <= 999999999);

    using steady = cli::account_pauses::clock;
    cli::account_pauses pauses;
    const steady::time_point now = steady::now();
    pauses.budget(now, b);
    const steady::time_point latest = now + std::chrono::duration_cast<steady::duration>(
                                                std::chrono::duration<double>(cli::kMaxPause));
    // Paced exactly when at most a tenth of the limit (none, without a
    // limit) is left and the budget is not whole again at once.
    const bool low =
        b.remaining >= 0 && (b.limit >= 0 ? b.remaining * 10LL <= b.limit : b.remaining == 0);
    const bool paced = low && b.reset != 0;
    steady::time_point last = now;
    for (int i = 0; i < 4; i++) {
        steady::time_point turn = pauses.turn(now, steady::duration::max());
        CHECK(turn >= last && turn <= latest);
        CHECK(paced ? turn > now : turn == now);
        last = turn;
    }
    return 0;
}
