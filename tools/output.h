// What the command prints: result-code names and exit statuses, the listing
// table, the stream locator and the small text helpers behind them.
#ifndef NIMBUS_TOOLS_OUTPUT_H
#define NIMBUS_TOOLS_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <nimbus.h>

namespace cli {

// Exit statuses, one per result-code family (documented in `nimbus --help`).
enum exit_status {
    EXIT_OK = 0,
    EXIT_OTHER = 1,       // NIMBUS_E_FAILED, NIMBUS_E_UNSUPPORTED, NIMBUS_E_BUFFER, local faults
    EXIT_USAGE = 2,       // the command line itself is wrong, NIMBUS_E_BAD_PATH
    EXIT_SETTINGS = 3,    // NIMBUS_E_INVALID, or a settings file that is missing or unsafe
    EXIT_AUTH = 4,        // NIMBUS_E_AUTH
    EXIT_NOT_FOUND = 5,   // NIMBUS_E_NOT_FOUND, NIMBUS_E_IS_FOLDER, NIMBUS_E_NOT_FOLDER
    EXIT_THROTTLED = 6,   // NIMBUS_E_THROTTLED
    EXIT_UNAVAILABLE = 7, // NIMBUS_E_UNAVAILABLE
};

const char *code_name(int code);
int exit_for(int code);

// "NIMBUS_E_AUTH" etc. plus the message, as the one line an error prints.
void print_failure(const char *what, int code, const char *message);
// A local failure without a library result code.
void print_error(const std::string &message);

// 0 -> "0 B", 1536 -> "1.5 KiB"; negative (unknown) -> "-".
std::string human_size(int64_t bytes);
// Milliseconds since the epoch -> "YYYY-MM-DD HH:MM" in UTC; 0 (unknown) -> "-".
std::string utc_minutes(int64_t ms);
// The text as a JSON string, quotes included, escaped as the library
// escapes: '"', '\\', \n, \r and \t by a backslash, other C0 controls and
// DEL as \u00xx (lower-case hex), every other byte as it is.
std::string json_string(const std::string &text);
// printable(text) escaped for HTML text and attribute values.
std::string html_escape(const std::string &text);
// Names in listing order: case-insensitive for ASCII letters, byte order for
// the rest; ties by bytes.
bool name_before(std::string_view a, std::string_view b);
// The one filter for every text shown that came from the service, the
// settings or the library: printable ASCII and well-formed UTF-8 stay, while
// C0 controls, DEL and bytes that are not UTF-8 become \xHH, and C1 controls,
// the line and paragraph separators (U+2028, U+2029) and bidirectional
// overrides (U+202A-U+202E, U+2066-U+2069) become \uHHHH, so no text can
// steer the terminal, break a line or reorder what is shown around it.
std::string printable(const std::string &text);

// One line of the listing table, its texts already printable.
struct listing_row {
    bool folder = false;
    std::string name;
    std::string size;
    std::string modified;
    std::string media; // media_text of the entry
};
listing_row row_of(const nimbus_entry &entry);
// The listing as a table: folders first, then by name, and a count line;
// with long_form a MEDIA column before the name.
void print_listing(FILE *out, std::vector<listing_row> rows, bool long_form = false);

// What --long shows of a file's media, printable: its duration ("3:45",
// "1:02:05"), "Artist – Title" (or either alone) and the frame size
// ("1920×1080"), those it has, joined by a space; "" when it has none.
std::string media_text(const nimbus_entry &entry);
// Its parts, for pages that show them in columns of their own: the
// duration ("" for none) and "Artist – Title" (either alone; "" for none:
// an empty text is an absent one), both printable.
std::string duration_text(int64_t ms);
std::string artist_title(std::string_view artist, std::string_view title);
// The columns a printable text takes on a terminal: one per code point.
size_t text_columns(const std::string &text);
// The text cut to at most columns (ending in "…" when cut) and padded with
// spaces to exactly columns.
std::string fit_columns(const std::string &text, size_t columns);
// The widest MEDIA column: longer texts are cut.
constexpr size_t MEDIA_COLUMNS = 40;
// The stream locator: its URL alone on its line (what a script passes to a
// player); with long_form the name and size after it (negative: unknown).
void print_locator(FILE *out, const std::string &url, const std::string &name, int64_t size,
                   bool long_form);
// The same from the library's locator answer. Returns false (with a
// message) when the answer is not the expected JSON.
bool print_locator(FILE *out, const std::string &answer, bool long_form, std::string *error);

} // namespace cli

#endif
