// Human output of the command. JSON answers are read with yyjson (no reader
// flags, as the library writes standard JSON) and never reformatted for --json.
#include "output.h"
#include "text.h"

#include "json_doc.h"
#include "service_text.h"

#include <nimbus.h>
#include <yyjson.h>

#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <memory>
#include <vector>

namespace cli {
namespace {

uint32_t code_point(const std::string &s, size_t i, size_t len) {
    static const unsigned char lead_mask[] = {0, 0, 0x1f, 0x0f, 0x07};
    uint32_t cp = static_cast<unsigned char>(s[i]) & lead_mask[len];
    for (size_t k = 1; k < len; k++)
        cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
    return cp;
}

std::string escaped(const char *format, uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
    return text;
}

} // namespace

const char *code_name(int code) {
    switch (code) {
    case NIMBUS_OK:
        return "NIMBUS_OK";
    case NIMBUS_E_AUTH:
        return "NIMBUS_E_AUTH";
    case NIMBUS_E_NOT_FOUND:
        return "NIMBUS_E_NOT_FOUND";
    case NIMBUS_E_THROTTLED:
        return "NIMBUS_E_THROTTLED";
    case NIMBUS_E_UNAVAILABLE:
        return "NIMBUS_E_UNAVAILABLE";
    case NIMBUS_E_FAILED:
        return "NIMBUS_E_FAILED";
    case NIMBUS_E_UNSUPPORTED:
        return "NIMBUS_E_UNSUPPORTED";
    case NIMBUS_E_INVALID:
        return "NIMBUS_E_INVALID";
    case NIMBUS_E_BUFFER:
        return "NIMBUS_E_BUFFER";
    case NIMBUS_E_BAD_PATH:
        return "NIMBUS_E_BAD_PATH";
    case NIMBUS_E_IS_FOLDER:
        return "NIMBUS_E_IS_FOLDER";
    case NIMBUS_E_NOT_FOLDER:
        return "NIMBUS_E_NOT_FOLDER";
    case NIMBUS_E_NOMEM:
        return "NIMBUS_E_NOMEM";
    case NIMBUS_E_STOPPED:
        return "NIMBUS_E_STOPPED";
    case NIMBUS_E_PENDING:
        return "NIMBUS_E_PENDING";
    case NIMBUS_E_RESYNC:
        return "NIMBUS_E_RESYNC";
    case NIMBUS_E_PARTIAL:
        return "NIMBUS_E_PARTIAL";
    case NIMBUS_E_SIGNIN:
        return "NIMBUS_E_SIGNIN";
    default:
        return "NIMBUS_E_UNKNOWN";
    }
}

int exit_for(int code) {
    switch (code) {
    case NIMBUS_OK:
        return EXIT_OK;
    case NIMBUS_E_INVALID:
        return EXIT_SETTINGS;
    case NIMBUS_E_AUTH:
    case NIMBUS_E_SIGNIN:
        return EXIT_AUTH;
    case NIMBUS_E_NOT_FOUND:
    case NIMBUS_E_IS_FOLDER:
    case NIMBUS_E_NOT_FOLDER:
        return EXIT_NOT_FOUND;
    case NIMBUS_E_BAD_PATH:
        return EXIT_USAGE;
    case NIMBUS_E_THROTTLED:
        return EXIT_THROTTLED;
    case NIMBUS_E_UNAVAILABLE:
        return EXIT_UNAVAILABLE;
    default:
        return EXIT_OTHER;
    }
}

void print_failure(const char *what, int code, const char *message) {
    // Service texts may span lines (an OAuth error_description does); keep
    // one, with each run of line breaks and spaces as one space.
    std::string text;
    for (const char *p = message ? message : ""; *p; p++) {
        if (*p == '\r' || *p == '\n' || *p == ' ') {
            if (!text.empty() && text.back() != ' ')
                text += ' ';
        } else {
            text += *p;
        }
    }
    std::string line = printable(failure_text(code, text));
    // To users and scripts a refused sign-in is the authorisation refusal
    // they know (NIMBUS_E_AUTH, exit 4); the line after it says what to do.
    if (code == NIMBUS_E_SIGNIN)
        code = NIMBUS_E_AUTH;
    std::fprintf(stderr, "nimbus: %s: %s (%d): %s\n", printable(what ? what : "").c_str(),
                 code_name(code), code, line.c_str());
}

void print_error(const std::string &message) {
    std::fprintf(stderr, "nimbus: %s\n", printable(message).c_str());
}

std::string human_size(int64_t bytes) {
    if (bytes < 0)
        return "-";
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double v = static_cast<double>(bytes) / 1024.0;
    size_t u = 0;
    while (v >= 1023.95 && u + 1 < sizeof units / sizeof units[0]) {
        v /= 1024.0;
        u++;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
    return text;
}

std::string utc_minutes(int64_t ms) {
    if (ms <= 0)
        return "-";
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    if (!gmtime_r(&secs, &tm))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min);
    return text;
}

std::string html_escape(const std::string &text) {
    std::string out;
    for (char c : printable(text)) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool name_before(std::string_view a, std::string_view b) {
    auto fold = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        int x = fold(static_cast<unsigned char>(a[i])), y = fold(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string printable(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
            i++;
            continue;
        }
        size_t len = c < 0x80 ? 0 : utf8_length(text, i);
        if (len == 0) { // a C0 control, DEL or a byte that is not UTF-8
            out += escaped("\\x%02x", c);
            i++;
            continue;
        }
        uint32_t cp = code_point(text, i, len);
        // C1 controls, the Unicode line and paragraph separators (line
        // breaks to some readers of playlists and logs) and bidirectional
        // overrides.
        if ((cp >= 0x80 && cp <= 0x9f) || (cp >= 0x2028 && cp <= 0x2029) ||
            (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069))
            out += escaped("\\u%04x", cp);
        else
            out.append(text, i, len);
        i += len;
    }
    return out;
}

listing_row row_of(const nimbus_entry &e) {
    listing_row r;
    r.folder = e.folder != 0;
    r.name = printable(e.name ? e.name : "");
    r.size = human_size(e.size);
    r.modified = utc_minutes(e.mtime_ms);
    r.media = media_text(e);
    return r;
}

std::string duration_text(int64_t ms) {
    if (ms <= 0)
        return std::string();
    // Rounded to the nearest second, as players show it.
    int64_t s = ms / 1000 + (ms % 1000 >= 500 ? 1 : 0);
    char text[48];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", s / 3600,
                      static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
    else
        std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(s / 60),
                      static_cast<int>(s % 60));
    return text;
}

std::string artist_title(std::string_view artist, std::string_view title) {
    if (!artist.empty() && !title.empty())
        return printable(std::string(artist)) + " \u2013 " + printable(std::string(title));
    return printable(std::string(title.empty() ? artist : title));
}

std::string media_text(const nimbus_entry &e) {
    std::string out;
    auto part = [&out](const std::string &text) {
        if (text.empty())
            return;
        if (!out.empty())
            out += ' ';
        out += text;
    };
    part(duration_text(e.duration_ms));
    part(artist_title(e.artist ? e.artist : "", e.title ? e.title : ""));
    if (e.width > 0 && e.height > 0)
        part(std::to_string(e.width) + "\u00d7" + std::to_string(e.height));
    return out;
}

size_t text_columns(const std::string &text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xc0) != 0x80 ? 1 : 0;
    return n;
}

std::string fit_columns(const std::string &text, size_t columns) {
    size_t n = text_columns(text);
    if (n <= columns)
        return text + std::string(columns - n, ' ');
    if (columns == 0)
        return {};
    // Keep columns - 1 code points, then the ellipsis.
    size_t kept = 0, i = 0;
    for (; i < text.size(); i++) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80 && kept++ == columns - 1)
            break;
    }
    return text.substr(0, i) + "\u2026";
}

void print_listing(FILE *out, std::vector<listing_row> rows, bool long_form) {
    std::sort(rows.begin(), rows.end(), [](const listing_row &a, const listing_row &b) {
        if (a.folder != b.folder)
            return a.folder;
        return name_before(a.name, b.name);
    });

    size_t size_w = 4, date_w = 8, media_w = 5; // "SIZE", "MODIFIED", "MEDIA"
    size_t folders = 0;
    for (const listing_row &r : rows) {
        size_w = std::max(size_w, r.size.size());
        date_w = std::max(date_w, r.modified.size());
        media_w = std::max(media_w, std::min(text_columns(r.media), MEDIA_COLUMNS));
        folders += r.folder ? 1 : 0;
    }
    // The media column is padded by columns, not bytes ("×" is two bytes).
    auto media = [&](const std::string &text) {
        return long_form ? fit_columns(text, media_w) + "  " : std::string();
    };
    if (!rows.empty()) {
        std::fprintf(out, "%-4s  %*s  %-*s  %s%s\n", "KIND", static_cast<int>(size_w), "SIZE",
                     static_cast<int>(date_w), "MODIFIED", media("MEDIA").c_str(), "NAME");
        for (const listing_row &r : rows)
            std::fprintf(out, "%-4s  %*s  %-*s  %s%s\n", r.folder ? "dir" : "file",
                         static_cast<int>(size_w), r.size.c_str(), static_cast<int>(date_w),
                         r.modified.c_str(), media(r.media).c_str(), r.name.c_str());
    }
    std::fprintf(out, "%zu %s (%zu %s, %zu %s)\n", rows.size(),
                 rows.size() == 1 ? "entry" : "entries", folders,
                 folders == 1 ? "folder" : "folders", rows.size() - folders,
                 rows.size() - folders == 1 ? "file" : "files");
}

void print_locator(FILE *out, const std::string &url, const std::string &name, int64_t size,
                   bool long_form) {
    std::fprintf(out, "%s\n", printable(url).c_str());
    if (!long_form)
        return;
    std::fprintf(out, "  name  %s\n", printable(name).c_str());
    if (size >= 0)
        std::fprintf(out, "  size  %s (%" PRId64 " bytes)\n", human_size(size).c_str(), size);
    else
        std::fprintf(out, "  size  unknown\n");
}

bool print_locator(FILE *out, const std::string &answer, bool long_form, std::string *error) {
    doc_ptr doc = read_json(answer);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    std::string url = yyjson_is_obj(root) ? str_member(root, "url") : std::string();
    if (url.empty()) {
        *error = "the stream answer has no url";
        return false;
    }
    print_locator(out, url, str_member(root, "name"), int_member(root, "size", -1), long_form);
    return true;
}

} // namespace cli
