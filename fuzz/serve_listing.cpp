// The gateway's packed listing, fed entries built from the input: every row
// reads back as it was given (texts of any bytes and length, integers at
// their extremes), the display order is a permutation with folders first,
// and a listing never charges its budget beyond the bound nor keeps a byte
// of it once released. A film's subtitle found in it is a subtitle file of
// the listing named after the film.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "serve/listing.h"
#include "serve/subtitles.h"

namespace {

struct reader {
    const uint8_t *p, *end;
    uint64_t number(size_t bytes) {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes && p < end; i++)
            v = v << 8 | *p++;
        return v;
    }
    std::string text() {
        size_t n = static_cast<size_t>(number(1));
        if (n == 255) // a long text, past a chunk at times
            n = static_cast<size_t>(number(3)) % 200000;
        std::string out;
        for (size_t i = 0; i < n; i++)
            out += static_cast<char>(p < end ? *p++ : i);
        return out;
    }
};

struct given {
    std::string name, id, mime, title, artist, album;
    nimbus_entry e{};
};

bool folders_first(std::string_view a, std::string_view b) {
    return a < b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    reader in{data, data + size};
    cli::listing_budget budget(static_cast<size_t>(in.number(3)) + 1);
    std::vector<given> entries;
    while (in.p < in.end && entries.size() < 2000) {
        given g;
        g.name = in.text();
        g.id = in.text();
        g.mime = in.text();
        g.title = in.text();
        g.artist = in.text();
        g.album = in.text();
        g.e.folder = static_cast<int>(in.number(1) & 1);
        g.e.size = static_cast<int64_t>(in.number(8));
        g.e.mtime_ms = static_cast<int64_t>(in.number(8));
        g.e.track = static_cast<int32_t>(in.number(4));
        g.e.year = static_cast<int32_t>(in.number(4));
        g.e.width = static_cast<int32_t>(in.number(4));
        g.e.height = static_cast<int32_t>(in.number(4));
        g.e.duration_ms = static_cast<int64_t>(in.number(8));
        entries.push_back(std::move(g));
    }
    {
        cli::folder_listing l(&budget);
        size_t added = 0;
        for (given &g : entries) {
            g.e.name = g.name.c_str();
            g.e.id = g.id.c_str();
            g.e.mime_type = g.mime.c_str();
            g.e.title = g.title.c_str();
            g.e.artist = g.artist.c_str();
            g.e.album = g.album.c_str();
            if (!l.add(g.e))
                break;
            added++;
            CHECK(budget.used() <= budget.max() && l.bytes() == budget.used());
        }
        CHECK(added == entries.size() || l.fault() == cli::listing_too_large);
        if (added < entries.size() || !l.finish(folders_first))
            return 0;
        CHECK(l.size() == added && l.order().size() == added);
        std::vector<bool> seen(added);
        for (size_t k = 0; k < added; k++) {
            uint32_t i = l.order()[k];
            CHECK(i < added && !seen[i]);
            seen[i] = true;
            if (k > 0)
                CHECK(l.row(l.order()[k - 1]).folder || !l.row(i).folder);
            const given &g = entries[i];
            cli::folder_row r = l.row(i);
            // Texts end at their first NUL, as the library's do.
            CHECK(r.name == g.name.c_str() && r.id == g.id.c_str() && r.mime == g.mime.c_str() &&
                  r.title == g.title.c_str() && r.artist == g.artist.c_str() &&
                  r.album == g.album.c_str());
            CHECK(r.folder == (g.e.folder != 0) && r.size == g.e.size &&
                  r.mtime_ms == g.e.mtime_ms && r.track == g.e.track && r.year == g.e.year &&
                  r.width == g.e.width && r.height == g.e.height &&
                  r.duration_ms == g.e.duration_ms);
        }
        cli::subtitle_index subs(l);
        for (size_t i = 0; i < added; i++) {
            std::string_view film = l.row(i).name, sub = subs.find(film);
            size_t dot = film.rfind('.');
            CHECK(sub.empty() || (cli::subtitle_type(sub) && dot != std::string_view::npos &&
                                  sub.substr(0, dot + 1) == film.substr(0, dot + 1) &&
                                  sub == cli::subtitle_for(l, film)));
        }
    }
    CHECK(budget.used() == 0);
    return 0;
}
