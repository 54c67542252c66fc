// The MediaServer over a small tree kept in memory, for the control-point
// tests: run_dlna.py starts it inside a private network namespace.
//
//   dlna_fixture ADDRESS UUID-FILE [CIDR[,CIDR...]]
//
// prints "ready DESCRIPTION-URL NETWORKS" once discoverable (NETWORKS: the
// peers it answers, the interface's network unless CIDRs are given), stops (ssdp:byebye) when
// its standard input closes, then prints "stopped".
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "dlna.h"

namespace {

class tree : public dlna::source {
  public:
    tree() {
        folder("/", {"/Music", "/Big", "/Slow", "/Films"});
        folder("/Music", {"/Music/Album"});
        const char *titles[] = {"Intro", "Song & Dance", "Outro <live>"};
        std::vector<std::string> tracks;
        for (int i = 0; i < 3; i++) {
            dlna::item t;
            t.path = "/Music/Album/0" + std::to_string(i + 1) + ".flac";
            t.title = titles[i];
            t.artist = "The Artist";
            t.album = "The Album";
            t.mime = "audio/flac";
            t.size = 1000000 + i;
            t.duration_ms = 61001 + i * 3600001;
            t.track = i + 1;
            t.year = 1999;
            entries_[t.path] = t;
            tracks.push_back(t.path);
        }
        folder("/Music/Album", tracks);
        std::vector<std::string> big;
        for (int i = 0; i < 1000; i++) {
            char name[32];
            std::snprintf(name, sizeof name, "/Big/%04d.mp3", i);
            dlna::item t;
            t.path = name;
            t.mime = "audio/mpeg";
            t.size = i;
            entries_[t.path] = t;
            big.push_back(t.path);
        }
        folder("/Big", big);
        // A name built to break out of DIDL and of the SOAP envelope around it.
        dlna::item h;
        h.path = std::string("/Music/x]]><item id=\"9\"><dc:title>&amp;\"'\x01\x7f\xff\xc0\xaf"
                             "\xed\xa0\x80.mp3");
        h.artist = "<upnp:artist>&lt;";
        h.mime = "audio/mpeg";
        h.size = 1;
        entries_[h.path] = h;
        entries_["/Music"].title.clear();
        children_["/Music"].push_back(h.path);
        folder("/Slow", {});
        // What a TV picks streams by: profiles, sizes, durations, frames.
        std::vector<std::string> films;
        const struct {
            const char *name, *mime;
            int64_t size, duration_ms;
            int width, height;
        } media[] = {{"/Films/film.mp4", "video/mp4", 700000000, 5400250, 1280, 720},
                     {"/Films/photo.jpg", "image/jpeg", 3000000, -1, 4000, 3000},
                     {"/Films/theme.m4a", "audio/mp4", 4000000, 200000, 0, 0}};
        for (const auto &m : media) {
            dlna::item t;
            t.path = m.name;
            t.mime = m.mime;
            t.size = m.size;
            t.duration_ms = m.duration_ms;
            t.width = m.width;
            t.height = m.height;
            entries_[t.path] = t;
            films.push_back(t.path);
        }
        // A film's subtitle, an item of its own too.
        dlna::item srt;
        srt.path = "/Films/film.en.srt";
        srt.mime = "application/x-subrip";
        srt.size = 100;
        entries_[srt.path] = srt;
        films.push_back(srt.path);
        entries_["/Films/film.mp4"].subtitle = srt.path;
        entries_["/Films/film.mp4"].subtitle_mime = "text/srt";
        folder("/Films", films);
    }

    int children(const std::string &path, size_t first, size_t count, std::vector<dlna::item> &out,
                 size_t *total) override {
        if (path == "/Slow")
            std::this_thread::sleep_for(std::chrono::seconds(2));
        auto it = children_.find(path);
        if (it == children_.end())
            return entries_.count(path) ? dlna::no_such_container : dlna::no_such_object;
        *total = it->second.size();
        for (size_t i = first; i < it->second.size() && out.size() < count; i++)
            out.push_back(entries_.at(it->second[i]));
        return 0;
    }

    int lookup(const std::string &path, dlna::item &out) override {
        auto it = entries_.find(path);
        if (it == entries_.end())
            return dlna::no_such_object;
        out = it->second;
        return 0;
    }

    // Everything beneath the folder: the whole tree is at hand.
    int search(const std::string &folder, const std::string &, size_t max,
               std::vector<dlna::item> &out) override {
        std::string under = folder == "/" ? folder : folder + "/";
        for (auto it = entries_.lower_bound(under);
             it != entries_.end() && it->first.compare(0, under.size(), under) == 0 &&
             out.size() < max;
             ++it)
            out.push_back(it->second);
        return 0;
    }

    // The album and its tracks have covers; nothing else has.
    std::string cover_url(const dlna::item &it) override {
        if (it.folder ? it.path != "/Music/Album" : it.mime.compare(0, 6, "audio/") != 0)
            return std::string();
        return resource_url(it.path) + "&cover=small";
    }

    std::string resource_url(const std::string &path) override {
        std::string url = "http://127.0.0.1:9/r";
        for (unsigned char c : path) {
            char buf[4];
            bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '-' || c == '_';
            std::snprintf(buf, sizeof buf, keep ? "%c" : "%%%02X", c);
            url += buf;
        }
        return url + "?t=secret&x=1";
    }

    uint32_t update_id() override { return 7; }

  private:
    void folder(const std::string &path, const std::vector<std::string> &kids) {
        dlna::item f;
        f.path = path;
        f.folder = true;
        entries_[path] = f;
        children_[path] = kids;
        for (const auto &k : kids)
            if (!entries_.count(k)) {
                dlna::item sub;
                sub.path = k;
                sub.folder = true;
                entries_[k] = sub;
            }
    }

    // Filled before the server starts, read-only afterwards.
    std::map<std::string, dlna::item> entries_;
    std::map<std::string, std::vector<std::string>> children_;
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: dlna_fixture ADDRESS UUID-FILE [CIDR[,CIDR...]]\n");
        return 2;
    }
    std::string error, uuid;
    if (!dlna::load_uuid(argv[2], uuid, error)) {
        std::fprintf(stderr, "dlna_fixture: %s\n", error.c_str());
        return 1;
    }
    tree src;
    dlna::options opts;
    opts.address = argv[1];
    opts.friendly_name = "nimbus <test> & \"co\"";
    opts.uuid = uuid;
    if (argc == 4) {
        error = dlna::parse_networks(argv[3], opts.allow);
        if (!error.empty()) {
            std::fprintf(stderr, "dlna_fixture: %s\n", error.c_str());
            return 2;
        }
    }
    dlna::server server;
    if (!server.start(opts, src, error)) {
        std::fprintf(stderr, "dlna_fixture: %s\n", error.c_str());
        return 1;
    }
    std::string nets;
    for (const dlna::network &n : server.allowed())
        nets += (nets.empty() ? "" : ",") + dlna::to_string(n);
    std::printf("ready %s %s\n", server.description_url().c_str(), nets.c_str());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    server.stop();
    std::printf("stopped\n");
    return 0;
}
