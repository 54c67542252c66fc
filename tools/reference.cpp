// The settings keys and the gateway's URLs (see reference.h). Each row says
// what the code that reads it does: the settings parser of the library for
// the keys, the routes of `nimbus serve` for the URLs.
#include "reference.h"

namespace cli {

const setting_row kSettingRows[] = {
    {"ClientId", "text, at most 256 bytes", "none (required)",
     "The application (client) ID of the app registration. nimbus login\n"
     "writes it (--client-id).",
     "\"00000000-0000-0000-0000-000000000000\"", nullptr},
    {"ClientSecret", "text", "none (required unless PublicClient is true)",
     "The client secret of a \"Web\" app registration; sent in every grant.\n"
     "nimbus login writes it, or removes it for a public client.",
     "\"secret\"", nullptr},
    {"PublicClient", "true or false", "false",
     "true for a public client (a native app registration): no secret is held\n"
     "or sent, and ClientSecret may be absent.",
     "true", "\"yes\""},
    {"refresh_token", "text, at most 8 KiB", "none (required but for a sign-in)",
     "The refresh token of the account. The library exchanges it for access\n"
     "tokens; a token the service rotates is stored back by the command.",
     "\"token\"", nullptr},
    {"RefreshToken", "text, at most 8 KiB", "none",
     "Read instead of refresh_token when that is absent.", "\"token\"", nullptr},
    {"scope", "text, at most 512 bytes", "offline_access Files.Read.All",
     "The scope asked for in every grant (nimbus login --scope).", "\"Files.Read\"", nullptr},
    {"Path", "a drive path such as /Media", "the drive's root",
     "The root folder: every path the command and the gateway show starts\n"
     "below it (nimbus login --path). No . or .. segment, no final /.",
     "\"/Media\"", "\"/Media/../Other\""},
    {"ID", "text", "none",
     "An identifier of this installation, kept for the host; nimbus validate\n"
     "proposes a new one when it is missing (stored with --write).",
     "\"0f8fad5b-d9cb-469f-a165-70867728950e\"", nullptr},
    {"RuntimeType", "ONEDRIVE or ONEDRIVEB", "ONEDRIVE",
     "ONEDRIVE for a personal drive, ONEDRIVEB for a work or school drive or\n"
     "a document library. nimbus login writes what the drive says it is.",
     "\"ONEDRIVEB\"", "\"DROPBOX\""},
    {"Cloud", "global, usgov, usgovdod or china", "global",
     "The Microsoft cloud the account lives on (nimbus login --cloud). Any\n"
     "but global holds work and school accounts only and needs RuntimeType\n"
     "ONEDRIVEB.",
     "\"global\"", "\"mars\""},
    {"PageSize", "an integer from 1 to 1000", "200",
     "Entries asked for per listing request. The command asks for 1000\n"
     "unless the settings or --page-size say otherwise.",
     "1000", "1001"},
    {"WalkMethod", "auto, listing or changes", "auto",
     "How list -R, recursive playlists and other walks read a tree: listing\n"
     "lists folder after folder, changes reads the change feed, auto takes\n"
     "the feed on a personal drive for walks deeper than two levels and on a\n"
     "business drive only at its root.",
     "\"changes\"", "\"fast\""},
    {"WalkConcurrency", "an integer from 1 to 16",
     "4 at first, up to 16 while the service keeps up",
     "Folders a walk by listings lists at once. Without it the walk adapts:\n"
     "more while answers come promptly, half as many once throttled.",
     "16", "17"},
    {"Metadata", "true or false", "false",
     "true: the JSON entries of a listing (list --json, ?format=json) carry\n"
     "the media members (title, artist, album, duration_ms, ...).",
     "true", "\"true\""},
    {"HeaderMarkers", "true or false", "false",
     "true: the host's transport sends the headers the library asks for (the\n"
     "command's does). A personal drive lists shortcuts to shared folders only\n"
     "then.",
     "false", "1"},
};
const size_t kSettingRowCount = sizeof kSettingRows / sizeof kSettingRows[0];

const url_row kUrlRows[] = {
    {"/FOLDER/", "An HTML page of the folder: breadcrumb, folders then files with size,\n"
                 "date and links, 500 rows a page, a filter box and a search box."},
    {"/FOLDER/?page=N", "Page N of the folder page, from 1."},
    {"/FOLDER/?q=TEXT", "Only the names that hold TEXT (at most 256 bytes; ASCII letters in any\n"
                        "case)."},
    {"/FOLDER/?format=json", "The library's {\"items\":[...]} answer for the folder; errors as\n"
                             "{\"error\":\"...\"}."},
    {"/FOLDER/?format=m3u",
     "An M3U playlist of the folder's audio and video files (the first 5000)."},
    {"/FOLDER/?format=m3u&recursive=1",
     "The same for the folder and everything beneath it, by path (at most\n"
     "10000 entries walked; the playlist says when it was cut)."},
    {"/FOLDER/?search=TEXT", "An HTML page of what the drive's search finds for TEXT (1 to 1024\n"
                             "bytes): at most 500 entries, each linked to its path (a media file\n"
                             "to its page)."},
    {"/PATH/TO/FILE", "GET or HEAD: 302 to the file's pre-authorised download URL (kept 10\n"
                      "minutes). A folder named without its final / goes to its page."},
    {"/PATH/TO/FILE?stream=1",
     "The file's bytes through the gateway, the player's Range passed on;\n"
     "for players and TVs that follow no redirect (DLNA res URLs)."},
    {"/PATH/TO/FILE?cover=small",
     "The item's thumbnail (small 96 px, medium 176 px) as JPEG or PNG: album\n"
     "art, a poster; a folder's (FOLDER/?cover=) is its own, else its first\n"
     "track's, film's or picture's. 404 when there is none."},
    {"/PATH/TO/FILE?view=1",
     "The file's own page: an audio or video player (or the image) reading\n"
     "the file with stream=1, its facts and cover, a download link, and a\n"
     "film's subtitles as tracks. A media file's name on a folder page leads here."},
    {"/PATH/TO/SUBTITLE?vtt=1", "A .srt or .vtt file as WebVTT (text/vtt) for a browser's\n"
                                "<track>: SubRip converted, at most 2 MiB."},
    {"?t=SECRET", "On any URL: the secret of --auth-token-file (else sent as the password\n"
                  "of HTTP Basic authentication). Opens everything."},
    {"/.signin", "While no account is signed in: a page that signs one in with a device\n"
                 "code (loopback, or with the secret on a network listener)."},
    {"/.signin?csrf=TOKEN", "POST of that page's form: starts the sign-in; the page then shows\n"
                            "the code and the address, and the drive is served once done."},
    {"/PATH/TO/FILE?c=EXPIRY.MAC",
     "A capability the gateway put in a playlist or DLNA answer: GET or HEAD\n"
     "of that one file (with or without stream=1) for 24 hours, nothing else."},
};
const size_t kUrlRowCount = sizeof kUrlRows / sizeof kUrlRows[0];

} // namespace cli
