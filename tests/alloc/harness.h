// A small self-contained harness for the allocation-failure program: each
// scenario is run once per allocation point N, on a fresh thread, with the Nth
// allocation of its armed region made to fail, until a run no longer reaches
// the failing allocation. No test framework is used, since one would allocate
// inside the armed regions.
#ifndef NIMBUS_TESTS_ALLOC_HARNESS_H
#define NIMBUS_TESTS_ALLOC_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace harness {

// Endpoints the library uses, found once at start-up.
struct endpoints {
    std::string graph_base;
    std::string token_url;
};
const endpoints &env();

// One run of one scenario; n == 0 injects no failure.
class run {
  public:
    run(const char *scenario, long n) : scenario_(scenario), n_(n) {}

    // Brackets the region whose allocations are counted (and the Nth fails).
    void arm();
    void disarm();
    // True when the failing allocation was reached since the previous call
    // (or since arm()); lets a region of several calls judge each one.
    bool fired_since_mark();

    bool fired() const { return fired_; }
    long counted() const { return counted_; }
    long n() const { return n_; }

    // Records a fault of the library (or of the scenario's expectations).
    void fail(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void equal(const char *what, const std::string &got, const std::string &want);
    // Records how a call ended, for the closing statistics.
    void outcome(const char *what, int code, const std::string &message);

    // Judges one request export (list, stream, validate, parse_items) that
    // wrote into out (sentinel-filled before the call, see clear_out()):
    // a success must carry exactly `expected`; a failure is allowed only when
    // an allocation failed (`fired`), with one of `allowed` and a message
    // that says "out of memory" (or one of the exact `other` outcomes), no
    // secret in it, published, and mirrored in the buffer.
    void request(const char *what, int code, const char *out, const std::string &expected,
                 std::initializer_list<int> allowed, bool fired,
                 const std::vector<std::string> &secrets,
                 const std::vector<std::pair<int, std::string>> &other = {});

    // Judges a request that must fail with want_code and want_message; when
    // an allocation failed it may instead report "out of memory" (with one
    // of `allowed`), or keep want_code with a message that only begins like
    // want_message (up to the first ':'), as when a quoted URL is cut short.
    void refusal(const char *what, int code, const char *out, int want_code,
                 const std::string &want_message, std::initializer_list<int> allowed, bool fired,
                 const std::vector<std::string> &secrets,
                 const std::vector<std::pair<int, std::string>> &other = {});

    int failures() const { return failures_; }

  private:
    void published_failure(const char *what, const std::string &result, const std::string &error,
                           const char *out, const std::vector<std::string> &secrets);

  public:
    const std::map<std::string, int> &outcomes() const { return outcomes_; }

  private:
    const char *scenario_;
    long n_;
    bool armed_ = false;
    bool fired_ = false;
    bool marked_ = false;
    long counted_ = 0;
    int failures_ = 0;
    std::map<std::string, int> outcomes_;
};

// The shared output buffer of the scenarios (one scenario thread runs at a
// time). clear_out() fills its head with a sentinel so that "untouched" can
// be told apart from "emptied".
constexpr size_t OUT_SIZE = 1 << 18;
char *out_buffer();
void clear_out();
bool out_untouched();

// The text as a JSON string literal, escaped the way the library writes it.
std::string json_str(const std::string &s);
// True when text contains any of the secrets.
bool leaks(const std::string &text, const std::vector<std::string> &secrets);

struct scenario {
    const char *name;
    void (*body)(run &r);
};
const std::vector<scenario> &scenarios();
// The drive handle's and the sign-in grant's scenarios (drive.cpp).
void drive_scenario(run &r);
void token_grant_scenario(run &r);

} // namespace harness

#endif // NIMBUS_TESTS_ALLOC_HARNESS_H
