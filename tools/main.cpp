// nimbus: a command-line host for the nimbus library. It browses a OneDrive
// drive through the library over its own libcurl transport, or an offline
// demo drive the command answers itself, at the URLs the library asks for.
#include "commands.h"
#include "dlna/friendly_name.h"
#include "dlna/networks.h"
#include "help.h"
#include "login/login.h"
#include "output.h"
#include "reference.h"
#include "serve/serve.h"

#include <nimbus.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// The command line as read: the options the commands use, and what only
// this file acts on.
struct command_line {
    cli::options o;
    bool help = false;
    bool version = false;
};

// What an option takes after its name.
enum class takes {
    flag,         // nothing
    text,         // any text
    file,         // a file name, so not an empty one
    connect_rule, // HOST:PORT:TOHOST:TOPORT
    networks,     // CIDR[,CIDR...]
    shown_name,   // 1 to 64 bytes of printable UTF-8
    whole,        // a whole number within the row's bounds
    decimal,      // a decimal number within the row's bounds
};

using option_setter = void (*)(command_line &c, const std::string &text, double number);

// One option of the command. Its row drives both the parsing and the
// option's lines in the usage text (and in the help of its command).
struct option_row {
    const char *name;    // "--timeout"
    const char *alias;   // a short spelling such as "-v", or nullptr
    const char *arg;     // the argument as the help names it; nullptr for a flag
    const char *command; // the one command it belongs to; nullptr: any command
    takes kind;
    long low, high;     // the bounds of a number, both allowed
    const char *counts; // what a number counts, for the complaint ("whole seconds")
    option_setter set;  // stores the argument (text, and number for a number)
    const char *help;   // its help; each further line is indented like the first
};

template <bool cli::options::*Member> void set_flag(command_line &c, const std::string &, double) {
    c.o.*Member = true;
}

template <std::string cli::options::*Member>
void set_text(command_line &c, const std::string &text, double) {
    c.o.*Member = text;
}

template <typename T, T cli::options::*Member>
void set_number(command_line &c, const std::string &, double number) {
    c.o.*Member = static_cast<T>(number);
}

void set_help(command_line &c, const std::string &, double) {
    c.help = true;
}
void set_version(command_line &c, const std::string &, double) {
    c.version = true;
}

void set_root_path(command_line &c, const std::string &text, double) {
    c.o.root_path = text;
    c.o.has_root_path = true;
}

void set_page_size(command_line &c, const std::string &, double number) {
    c.o.page_size = static_cast<int>(number);
    c.o.page_size_given = true;
}

void add_connect_to(command_line &c, const std::string &text, double) {
    c.o.connect_to.push_back(text);
}

using O = cli::options;

// In the order of the usage text: the options of every command first, then
// those of one command, grouped by the command.
const option_row kOptions[] = {
    {"--settings", nullptr, "FILE", nullptr, takes::file, 0, 0, nullptr,
     set_text<&O::settings_path>,
     "settings JSON (default $XDG_CONFIG_HOME/nimbus/settings.json,\n"
     "else ~/.config/nimbus/settings.json); must be mode 600"},
    {"--demo", nullptr, nullptr, nullptr, takes::flag, 0, 0, nullptr, set_flag<&O::demo>,
     "use the built-in offline demo drive instead of the network"},
    {"--json", nullptr, nullptr, nullptr, takes::flag, 0, 0, nullptr, set_flag<&O::json>,
     "print the library's JSON answers unchanged"},
    {"--long", "-l", nullptr, nullptr, takes::flag, 0, 0, nullptr, set_flag<&O::long_form>,
     "list, list -R, search: size, time and a media column; stream: name and size\n"
     "(\"3:45 Artist \u2013 Title\", \"1920\u00d71080\")"},
    {"--verbose", "-v", nullptr, nullptr, takes::flag, 0, 0, nullptr, set_flag<&O::verbose>,
     "one line per HTTP exchange on stderr (method, URL, status, ms)"},
    {"--quiet", "-q", nullptr, nullptr, takes::flag, 0, 0, nullptr, set_flag<&O::quiet>,
     "no line on a terminal when the command waits to retry"},
    {"--timeout", nullptr, "SECONDS", nullptr, takes::whole, 1, 86400, "whole seconds",
     set_number<long, &O::timeout_s>, "limit for one HTTP exchange (default 60; connecting: 10)"},
    // Like curl's: decimal seconds, 0 for no limit.
    {"--max-time", nullptr, "SECONDS", nullptr, takes::decimal, 0, 31536000, "seconds",
     set_number<double, &O::max_time_s>,
     "limit for the whole command, retries included (default: none)"},
    {"--retries", nullptr, "N", nullptr, takes::whole, 0, 100, "a whole number",
     set_number<int, &O::retries>,
     "repeat a throttled (429, 503, 504) or lost request up to N\n"
     "times, waiting as the service asks (default 5; 0: never)"},
    {"--page-size", nullptr, "N", nullptr, takes::whole, 1, 1000, "a whole number", set_page_size,
     "entries per listing request, 1 to 1000 (default 1000, or the\n"
     "settings' PageSize)"},
    {"--connect-to", nullptr, "HOST:PORT:TOHOST:TOPORT", nullptr, takes::connect_rule, 0, 0,
     nullptr, add_connect_to, "connect to another server for HOST:PORT (repeatable)"},
    {"--cacert", nullptr, "FILE", nullptr, takes::text, 0, 0, nullptr, set_text<&O::cacert>,
     "trust the CA certificates in FILE instead of the system's"},
    {"--version", nullptr, nullptr, nullptr, takes::flag, 0, 0, nullptr, set_version,
     "print the versions of the command and the library"},
    {"--help", "-h", nullptr, nullptr, takes::flag, 0, 0, nullptr, set_help,
     "print help (nimbus help demo: the offline demo drive)"},

    {"--recursive", "-R", nullptr, "list", takes::flag, 0, 0, nullptr, set_flag<&O::recursive>,
     "every entry beneath each folder, one full path a line"},
    {"--max-depth", nullptr, "N", "list", takes::whole, 1, 1000000, "a number",
     set_number<long, &O::max_depth>, "with -R: N levels of entries (1: the folder's own)"},
    {"--include", nullptr, "GLOB", "list", takes::text, 0, 0, nullptr, set_text<&O::include>,
     "print only entries whose name matches GLOB"},
    {"--exclude", nullptr, "GLOB", "list", takes::text, 0, 0, nullptr, set_text<&O::exclude>,
     "leave out entries whose name matches GLOB"},

    {"--write", nullptr, nullptr, "validate", takes::flag, 0, 0, nullptr, set_flag<&O::write>,
     "store what the service changed in the settings file"},

    {"--client-id", nullptr, "ID", "login", takes::text, 0, 0, nullptr, set_text<&O::client_id>,
     "the application (client) ID; default: the settings'"},
    {"--client-secret-file", nullptr, "FILE", "login", takes::text, 0, 0, nullptr,
     set_text<&O::client_secret_file>,
     "read the client secret from FILE; else from the\n"
     "environment variable NIMBUS_CLIENT_SECRET, else the\n"
     "settings' own (same client id), else a hidden prompt\n"
     "on a terminal; with none, a public client"},
    {"--cloud", nullptr, "NAME", "login", takes::text, 0, 0, nullptr, set_text<&O::cloud>,
     "the Microsoft cloud: global, usgov, usgovdod or\n"
     "china (national clouds: work and school accounts\n"
     "only); default: the settings' Cloud, else global;\n"
     "stored when given"},
    {"--path", nullptr, "FOLDER", "login", takes::text, 0, 0, nullptr, set_root_path,
     "store FOLDER as the root folder (Path)"},
    {"--scope", nullptr, "SCOPE", "login", takes::text, 0, 0, nullptr, set_text<&O::scope>,
     "default \"offline_access Files.Read.All\" (stored when given)"},
    {"--port", nullptr, "PORT", "login", takes::whole, 1, 65535, "a port",
     set_number<long, &O::port>,
     "the loopback port of the redirect URI (default 8914);\n"
     "the command listens on 127.0.0.1 and ::1 only"},
    {"--wait", nullptr, "SECONDS", "login", takes::whole, 1, 86400, "whole seconds",
     set_number<long, &O::wait_s>, "how long to wait for the browser (default 300)"},
    {"--no-browser", nullptr, nullptr, "login", takes::flag, 0, 0, nullptr,
     set_flag<&O::no_browser>,
     "open no browser and do not listen: sign in on any\n"
     "machine and paste the address the browser was sent to"},
    {"--device", nullptr, nullptr, "login", takes::flag, 0, 0, nullptr, set_flag<&O::device>,
     "sign in with a device code: type the code the command\n"
     "prints at the service's device page on any machine\n"
     "(for boxes without a browser)"},
    {"--public", nullptr, nullptr, "login", takes::flag, 0, 0, nullptr, set_flag<&O::public_client>,
     "sign in as a public client: no client secret is\n"
     "sought or stored (\"PublicClient\": true)"},

    {"--listen", nullptr, "ADDR:PORT", "serve", takes::text, 0, 0, nullptr, set_text<&O::listen>,
     "the address to serve (default 127.0.0.1:8080)"},
    {"--auth-token-file", nullptr, "FILE", "serve", takes::file, 0, 0, nullptr,
     set_text<&O::auth_token_file>,
     "mode 600 file holding the secret clients must send;\n"
     "needed for any address but a loopback one"},
    {"--threads", nullptr, "N", "serve", takes::whole, 1, 64, "a number",
     set_number<long, &O::threads>, "request threads, 1 to 64 (default 4)"},
    {"--dlna", nullptr, nullptr, "serve", takes::flag, 0, 0, nullptr, set_flag<&O::dlna>,
     "also be a DLNA/UPnP MediaServer that TVs and players\n"
     "find on the listen address's network"},
    {"--dlna-allow", nullptr, "CIDR[,CIDR...]", "serve", takes::networks, 0, 0, nullptr,
     set_text<&O::dlna_allow>,
     "with --dlna: answer only peers in these networks\n"
     "(192.168.1.0/24, fd00::/8, or one address); default: the\n"
     "network of the listen address's interface"},
    {"--name", nullptr, "TEXT", "serve", takes::shown_name, 0, 0, nullptr, set_text<&O::dlna_name>,
     "with --dlna: the name players show (1 to 64 bytes,\n"
     "no control characters); default \"nimbus on HOSTNAME\""},
    {"--dlna-port", nullptr, "PORT", "serve", takes::whole, 1, 65535, "a port",
     set_number<long, &O::dlna_port>,
     "with --dlna: the UPnP port (descriptions, control);\n"
     "default: the listen port + 1 (65534 for 65535), any\n"
     "free one when the listen port is 0"},
    {"--dlna-all", nullptr, nullptr, "serve", takes::flag, 0, 0, nullptr, set_flag<&O::dlna_all>,
     "with --dlna: offer every file, not only folders, audio,\n"
     "video, pictures and subtitles"},
};

// One command, or a help topic that is no command (demo).
struct command_row {
    const char *name;
    const char *operands; // as the usage names them
    const char *summary;  // its line in the usage; nullptr: a help topic only
    int (*run)(const cli::options &o);
    size_t min_operands, max_operands;
    const char *operand_error; // follows the name when the operands are too few or many
    // nimbus help NAME; nullptr: none. When help_after is set, the command's
    // options are listed between the two.
    const char *help;
    const char *help_after;
};

const size_t kAny = static_cast<size_t>(-1);

// In the order of the usage text.
const command_row kCommands[] = {
    {"list", "[FOLDER...]", "list folders (default: the configured root)", cli::run_list, 0, kAny,
     nullptr,
     "usage: nimbus [OPTIONS] list [FOLDER...]\n"
     "\n"
     "Lists each FOLDER: a path below the configured root such as /Music/Jazz (quote\n"
     "names with spaces), a Graph item id, or / for the root (the default).\n"
     "Prints kind, size, modification time (UTC) and name, folders first; with\n"
     "--long also a MEDIA column (duration, \"Artist \u2013 Title\", frame size); with\n"
     "--json the library's {\"items\":[...]} answer, one line per folder (with the\n"
     "media keys when the settings say \"Metadata\": true, as nimbus_list does).\n"
     "-R prints every entry beneath as its full path, one a line (folders end in /);\n"
     "with --long after size, time and media, with --json one object a line with\n"
     "the media values. A broken shortcut beneath is named on stderr and the rest\n"
     "is listed.\n",
     nullptr},
    {"search", "TEXT", "find entries by name or content", cli::run_search, 1, 1, "needs one TEXT",
     "usage: nimbus [OPTIONS] search TEXT\n"
     "\n"
     "Searches the drive (within the configured root) for TEXT as the service\n"
     "matches it, and prints each entry found as its full path, one a line\n"
     "(folders end in /); with --long after size, time and media, with --json one\n"
     "object a line.\n",
     nullptr},
    {"stream", "ENTRY...", "print the stream URL of files", cli::run_stream, 1, kAny,
     "needs an ENTRY",
     "usage: nimbus [OPTIONS] stream ENTRY...\n"
     "\n"
     "Prints the pre-authorised download URL of each file ENTRY (a path such as\n"
     "/Music/a.mp3 or a Graph item id; JSON such as {\"id\":\"...\"} passes as is),\n"
     "one a line, so that mpv \"$(nimbus stream ENTRY)\" plays it; with --long each\n"
     "followed by its name and size; with --json the library's locator answer.\n",
     nullptr},
    {"about", "", "show the drive's type, owner and space", cli::run_about, 0, 0,
     "takes no operands",
     "usage: nimbus [OPTIONS] about\n"
     "\n"
     "Prints the account that owns the drive, the drive's type (personal, business\n"
     "or documentLibrary) and its space: total, used, free and trashed (in the\n"
     "recycle bin), in human units; with --json an object with the exact byte\n"
     "counts (null for what the service did not say).\n",
     nullptr},
    {"logout", "", "forget the sign-in the settings file holds", cli::run_logout, 0, 0,
     "takes no operands",
     "usage: nimbus [OPTIONS] logout\n"
     "\n"
     "Removes the refresh token from the settings file (atomically, mode 600,\n"
     "every other member kept), so that nothing on this machine signs in with it\n"
     "again; `nimbus login` signs in anew with the same application. A running\n"
     "gateway notices and offers its sign-in page. The service honours a copy of\n"
     "the token until it expires: sign out everywhere in the account's security\n"
     "settings to end it there too.\n",
     nullptr},
    {"validate", "[--write]", "check the settings against the service; store what changed",
     cli::run_validate, 0, 0, "takes no operands",
     "usage: nimbus [OPTIONS] validate [--write]\n"
     "\n"
     "Checks the settings against the service by listing the configured root.\n"
     "When the service rotated the refresh token, or the settings have no ID,\n"
     "says what should be stored; with --write stores it in the settings file\n"
     "(atomically, mode 600, every other member kept as it was).\n",
     nullptr},
    {"login", "", "sign in and write the settings file", cli::run_login, 0, 0, "takes no operands",
     "usage: nimbus [OPTIONS] login --client-id ID [--device | --no-browser] [--public]\n"
     "                              [--client-secret-file FILE] [--path FOLDER] [--scope SCOPE]\n"
     "                              [--cloud NAME] [--port PORT] [--wait SECONDS]\n"
     "\n"
     "Signs in to Microsoft with a browser (OAuth 2.0 authorization code with PKCE) or,\n"
     "with --device, a device code, checks that the drive answers, and writes ClientId,\n"
     "ClientSecret (or \"PublicClient\": true), refresh_token and RuntimeType (ONEDRIVEB\n"
     "for a business drive or document library, ONEDRIVE for a personal one) into the\n"
     "settings file, keeping every other member. The app registration needs the\n"
     "platform \"Mobile and desktop applications\" with the redirect URI\n"
     "http://localhost, \"Allow public client flows\" for --device, and the delegated\n"
     "permissions Files.Read.All and offline_access (a \"Web\" registration with a\n"
     "client secret works too); see \"Getting credentials\" in the user's guide,\n"
     "/usr/share/doc/nimbus/user-guide.md.\n"
     "An account on a national cloud signs in there with --cloud usgov (US Government\n"
     "L4), usgovdod (L5) or china (21Vianet); Cloud is then stored as well.\n"
     "\n",
     "\n"
     "With a display and without --no-browser, xdg-open opens a one-time address of\n"
     "the listener that leads to the sign-in (so no command line shows it); answers\n"
     "that do not belong to this sign-in are turned away while it waits.\n"
     "Exit status 4 when the sign-in or the code exchange is refused, a pasted answer\n"
     "does not belong to this sign-in or the one-time address was opened twice; 1 when\n"
     "no sign-in arrives in time (--wait, --max-time; with --device the code's own\n"
     "expiry) or the port is in use; 130 on Ctrl-C.\n"},
    {"serve", "", "HTTP gateway for media players and browsers (see help serve)", cli::run_serve, 0,
     0, "takes no operands",
     "usage: nimbus [OPTIONS] serve [--listen ADDR:PORT] [--auth-token-file FILE]\n"
     "                              [--threads N] [--dlna [--dlna-allow CIDR,...]\n"
     "                              [--name TEXT] [--dlna-port PORT] [--dlna-all]]\n"
     "\n"
     "Serves the drive over HTTP until SIGINT or SIGTERM (default 127.0.0.1:8080):\n"
     "  /FOLDER/              a page of the folder (folders first, then files)\n"
     "  /FOLDER/?format=json  the library's {\"items\":[...]} answer\n"
     "  /FOLDER/?format=m3u   a playlist of its audio and video files\n"
     "  /PATH/TO/FILE         302 to the file's pre-authorised download URL\n"
     "For example:\n"
     "  mpv http://127.0.0.1:8080/Music/Album/?format=m3u\n"
     "A loopback address needs no credential (and answers only to a loopback Host).\n"
     "Any other address needs --auth-token-file: a mode 600 file whose first line\n"
     "is the secret (16 characters or more), sent as the password of HTTP Basic\n"
     "authentication or as the query parameter t. --threads sets the size of the\n"
     "request thread pool (default 4); answers that wait on the service are made\n"
     "by 16 workers of their own. One line per request goes to stderr.\n"
     "--page-size, --timeout and --retries apply to each request to the service;\n"
     "--max-time, a limit for a whole command, is refused. A refresh token the\n"
     "service rotates is stored in the settings file as soon as it arrives.\n"
     "Without a sign-in it still serves: /.signin signs in from a browser with a\n"
     "device code (for --client-id ID [--public], else the settings' ClientId) and\n"
     "stores the settings as nimbus login does. A changed settings file (nimbus\n"
     "login elsewhere, a replaced file) is taken while it runs, within 3 seconds or\n"
     "at once on SIGHUP: serve starts again in place, on the same socket.\n"
     "Folder pages show 500 entries each, with paging links and a name filter.\n"
     "--dlna also announces a DLNA/UPnP MediaServer on the listen address's\n"
     "interface (not on a wildcard address: name one, e.g. 192.168.1.5:8080); its\n"
     "files play through this gateway. Its device UUID is kept in dlna-uuid beside\n"
     "the settings file. Only hosts on that interface's network find and browse it;\n"
     "--dlna-allow names the networks that may instead. Players show it as --name\n"
     "(default \"nimbus on HOSTNAME\"). Its UPnP port stays the same at every start,\n"
     "so that TVs and firewall rules keep it: --dlna-port, by default the listen\n"
     "port + 1; when that port is taken, serve stops and says so. It offers\n"
     "folders, audio, video, pictures and subtitles; --dlna-all offers every file.\n",
     nullptr},
    {"redact", "TEXT", "print TEXT with credentials masked", cli::run_redact, 1, 1,
     "takes exactly one TEXT",
     "usage: nimbus redact TEXT\n"
     "\n"
     "Prints TEXT with URL user information and secret parameters (access_token,\n"
     "refresh_token, client_secret, tempauth, token, password, ...) masked.\n",
     nullptr},
    {"version", "", "print the versions of nimbus and libcurl", cli::run_version, 0, 0,
     "takes no operands",
     "usage: nimbus version\n"
     "\n"
     "Prints the versions of the command, the nimbus library and libcurl; with\n"
     "--json as an object. Also nimbus --version.\n",
     nullptr},
    {"help", "[COMMAND]", "print this text or a command's", nullptr, 0, 1, nullptr,
     "usage: nimbus help [COMMAND]\n"
     "\n"
     "Prints the usage of the command, or the help of COMMAND: list, search,\n"
     "stream, about, logout, validate, login, serve, redact, version, help, or the topic\n"
     "demo (the offline demo drive). nimbus COMMAND --help does the same. The\n"
     "manual page nimbus(1) holds all of it.\n",
     nullptr},
    {"demo", "", nullptr, nullptr, 0, 0, nullptr,
     "usage: nimbus --demo COMMAND [ARGS]\n"
     "\n"
     "Runs the commands against a built-in offline drive (about 300 music, film,\n"
     "photo, podcast and document entries with their media metadata, described by\n"
     "demo-drive.json) answered by the command itself: no account, no settings\n"
     "file, no network. --page-size N pages its folders by N. Try\n"
     "  nimbus --demo list /Music\n"
     "  nimbus --demo --long list -R /Music\n"
     "  nimbus --demo search moon\n"
     "  nimbus --demo about\n"
     "  nimbus --demo stream \"/Music/Glass∕Harbour/Tidewater Lights/cover.jpg\"\n"
     "  nimbus --demo serve                # then open http://127.0.0.1:8080/\n"
     "  nimbus --demo serve --dlna --listen 192.168.1.5:8080   # TVs see it too\n"
     "  nimbus --demo -v list \"/Podcasts/Radio Archive\"\n",
     nullptr},
};

// Common misnomers of a command, for "did you mean".
const std::vector<std::pair<std::string, std::string>> kCommandAliases = {
    {"ls", "list"},      {"dir", "list"},     {"get", "stream"}, {"url", "stream"},
    {"play", "stream"},  {"signin", "login"}, {"auth", "login"}, {"check", "validate"},
    {"server", "serve"}, {"gateway", "serve"}};

const char kDescription[] = "Browse a OneDrive drive read-only through Microsoft Graph.";

const char kSettingsFile[] =
    "The settings file is the JSON object the library takes; nimbus login writes\n"
    "the credentials into it and keeps every other member. Its members:\n";

const char kExitStatus[] =
    "exit status:\n"
    "  0  success\n"
    "  1  other failure (NIMBUS_E_FAILED, NIMBUS_E_UNSUPPORTED, a local fault)\n"
    "  2  wrong command line (also a malformed path: NIMBUS_E_BAD_PATH)\n"
    "  3  settings invalid (NIMBUS_E_INVALID, or a missing or unprotected settings file)\n"
    "  4  authorisation refused (NIMBUS_E_AUTH)\n"
    "  5  not found, or not a file or folder as asked (NIMBUS_E_NOT_FOUND,\n"
    "     NIMBUS_E_IS_FOLDER, NIMBUS_E_NOT_FOLDER)\n"
    "  6  throttled (NIMBUS_E_THROTTLED)\n"
    "  7  service unavailable or unreachable (NIMBUS_E_UNAVAILABLE)\n"
    "  130  interrupted (Ctrl-C)\n";

// The column where the help of a command or an option starts.
const size_t kUsageColumn = 22;
const size_t kCommandHelpColumn = 28;

int usage_error(const std::string &message);
const option_row *find_option(const std::string &spelling);
const command_row *find_command(const std::string &name);
enum class named { option, command, help_topic };
std::string did_you_mean(const std::string &typed, named kind);
int write_docs(const std::string &format, const std::string &file);
std::string check_argument(const option_row &row, const std::string &text, double *number);
std::string usage();
std::string command_help(const command_row &command);

// The gateway signs in from its page for the application `nimbus login`
// would: these options of login name it there too.
bool serve_signs_in(const option_row &row) {
    return std::strcmp(row.name, "--client-id") == 0 || std::strcmp(row.name, "--public") == 0;
}

int run(int argc, char **argv) {
    command_line c;
    cli::options &o = c.o;
    bool options_done = false;
    std::vector<const option_row *> owned; // options given that belong to one command

    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (options_done || a.empty() || a[0] != '-' || a == "-") {
            if (o.command.empty())
                o.command = a;
            else
                o.args.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        std::string text;
        bool has_value = false;
        size_t eq = a.find('=');
        if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            text = a.substr(eq + 1);
            a.resize(eq);
            has_value = true;
        }
        if (a == "--client-secret")
            return usage_error("a client secret on the command line is visible to every user: "
                               "use --client-secret-file FILE or NIMBUS_CLIENT_SECRET");
        const option_row *row = find_option(a);
        if (!row)
            return usage_error("unknown option " + a + did_you_mean(a, named::option));
        if (!row->arg) {
            if (has_value)
                return usage_error(a + " takes no value");
        } else if (!has_value) {
            if (i + 1 >= argc)
                return usage_error(a + " needs a value");
            text = argv[++i];
        }
        double number = 0;
        std::string complaint = check_argument(*row, text, &number);
        if (!complaint.empty())
            return usage_error(complaint);
        row->set(c, text, number);
        if (row->command)
            owned.push_back(row);
    }

    if (c.version)
        return cli::run_version(o);
    // Run by the build to write the man page and the completions.
    if (o.command == "_docs" && o.args.size() == 2)
        return write_docs(o.args[0], o.args[1]);
    if (o.command == "help") {
        if (o.args.empty()) {
            std::fputs(usage().c_str(), stdout);
            return cli::EXIT_OK;
        }
        const command_row *topic = find_command(o.args[0]);
        if (!topic || !topic->help)
            return usage_error("no help for " + o.args[0] +
                               did_you_mean(o.args[0], named::help_topic));
        std::fputs(command_help(*topic).c_str(), stdout);
        return cli::EXIT_OK;
    }
    const command_row *command = find_command(o.command);
    if (c.help) {
        std::fputs(command && command->help ? command_help(*command).c_str() : usage().c_str(),
                   stdout);
        return cli::EXIT_OK;
    }
    if (o.command.empty()) {
        std::fputs(usage().c_str(), stderr);
        return cli::EXIT_USAGE;
    }
    if (!command)
        return usage_error("unknown command " + o.command +
                           did_you_mean(o.command, named::command));
    for (const option_row *row : owned)
        if (o.command != row->command && !(o.command == "serve" && serve_signs_in(*row)))
            return usage_error(std::string(row->name) + " belongs to " + row->command);
    if (!command->run) // help was answered above: the demo topic
        return usage_error("demo is an option: nimbus --demo list (see nimbus help demo)");
    if (o.command == "login" && o.demo)
        return usage_error("login signs in to an account; the demo needs none");
    if (o.demo && !o.settings_path.empty())
        return usage_error("--demo brings its own settings; drop --settings");
    if (o.command == "serve" && o.max_time_s > 0)
        return usage_error("--max-time limits a whole command and serve runs until stopped: "
                           "each request is limited by --timeout and --retries");
    if (!o.dlna_allow.empty() && !o.dlna)
        return usage_error("--dlna-allow needs --dlna: it says who may browse its MediaServer");
    if ((!o.dlna_name.empty() || o.dlna_port > 0) && !o.dlna)
        return usage_error(std::string(o.dlna_port > 0 ? "--dlna-port" : "--name") +
                           " needs --dlna: it belongs to the MediaServer");
    if (o.dlna_all && !o.dlna)
        return usage_error("--dlna-all needs --dlna: it says what its MediaServer offers");
    if (o.demo && o.write)
        return usage_error("--write needs a settings file; the demo has none");
    if (o.args.size() < command->min_operands || o.args.size() > command->max_operands)
        return usage_error(o.command + " " + command->operand_error);
    return command->run(o);
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "nimbus: %s\n(see nimbus --help)\n", message.c_str());
    return cli::EXIT_USAGE;
}

const option_row *find_option(const std::string &spelling) {
    for (const option_row &row : kOptions)
        if (spelling == row.name || (row.alias && spelling == row.alias))
            return &row;
    return nullptr;
}

const command_row *find_command(const std::string &name) {
    for (const command_row &row : kCommands)
        if (name == row.name)
            return &row;
    return nullptr;
}

// "; did you mean list?" for a mistyped command or option, else "".
std::string did_you_mean(const std::string &typed, named kind) {
    std::vector<std::string> names;
    if (kind == named::option) {
        for (const option_row &row : kOptions)
            names.push_back(row.name);
    } else {
        for (const command_row &row : kCommands)
            if (kind == named::command ? row.summary != nullptr : row.help != nullptr)
                names.push_back(row.name);
    }
    std::string best = cli::closest(
        typed, names, kind == named::option ? decltype(kCommandAliases){} : kCommandAliases);
    return best.empty() ? std::string() : "; did you mean " + best + "?";
}

cli::doc_tables doc_tables() {
    cli::doc_tables t;
    for (const option_row &row : kOptions)
        t.options.push_back({row.name, row.alias, row.arg, row.command, row.help});
    for (const command_row &row : kCommands)
        t.commands.push_back({row.name, row.operands, row.summary, row.help, row.help_after});
    t.description = kDescription;
    t.settings = kSettingsFile;
    t.keys.assign(cli::kSettingRows, cli::kSettingRows + cli::kSettingRowCount);
    t.urls.assign(cli::kUrlRows, cli::kUrlRows + cli::kUrlRowCount);
    t.exit_status = std::strchr(kExitStatus, '\n') + 1; // without its heading
    t.version = NIMBUS_VERSION_STRING;
    return t;
}

// FORMAT: man, bash, zsh, fish, or names (what the documents must mention).
int write_docs(const std::string &format, const std::string &file) {
    cli::doc_tables t = doc_tables();
    std::string text = format == "man"     ? cli::man_page(t)
                       : format == "bash"  ? cli::bash_completion(t)
                       : format == "zsh"   ? cli::zsh_completion(t)
                       : format == "fish"  ? cli::fish_completion(t)
                       : format == "names" ? cli::doc_names(t)
                                           : std::string();
    if (text.empty())
        return usage_error("_docs writes man, bash, zsh, fish or names, not " + format);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "nimbus: cannot write %s\n", file.c_str());
        return cli::EXIT_OTHER;
    }
    return cli::EXIT_OK;
}

bool valid_connect_to(const std::string &rule) {
    // HOST:PORT:TOHOST:TOPORT; IPv6 addresses come in brackets.
    int colons = 0;
    bool bracket = false;
    for (char c : rule) {
        if (c == '[')
            bracket = true;
        else if (c == ']')
            bracket = false;
        else if (c == ':' && !bracket)
            colons++;
    }
    return colons == 3;
}

// What is wrong with TEXT as the argument of ROW, or "" when nothing is; a
// number it holds goes to *number.
std::string check_argument(const option_row &row, const std::string &text, double *number) {
    std::string name = row.name;
    switch (row.kind) {
    case takes::flag:
    case takes::text:
        return {};
    case takes::file:
        return text.empty() ? name + " needs a file name" : std::string();
    case takes::connect_rule:
        return valid_connect_to(text) ? std::string()
                                      : name + " wants " + row.arg + ", not " + text;
    case takes::shown_name:
        return dlna::friendly_name_ok(text)
                   ? std::string()
                   : name + " wants 1 to 64 bytes of printable UTF-8 without control characters";
    case takes::networks: {
        std::vector<dlna::network> nets;
        std::string complaint = dlna::parse_networks(text, nets);
        return complaint.empty() ? complaint : name + ": " + complaint;
    }
    case takes::whole:
    case takes::decimal:
        break;
    }
    char *end = nullptr;
    errno = 0;
    double v = row.kind == takes::decimal
                   ? std::strtod(text.c_str(), &end)
                   : static_cast<double>(std::strtol(text.c_str(), &end, 10));
    if (text.empty() || *end || errno ||
        !(v >= static_cast<double>(row.low) && v <= static_cast<double>(row.high)))
        return name + " wants " + row.counts + " from " + std::to_string(row.low) + " to " +
               std::to_string(row.high) + ", not " + text;
    *number = v;
    return {};
}

// The lines of the options that belong to COMMAND (nullptr: to any command),
// each help starting at COLUMN.
std::string option_lines(const char *command, size_t column) {
    std::string out;
    for (const option_row &row : kOptions) {
        if (command ? !row.command || std::strcmp(command, row.command) != 0
                    : row.command != nullptr)
            continue;
        std::string line = "  ";
        if (row.alias)
            line = line + row.alias + ", ";
        line += row.name;
        if (row.arg)
            line = line + " " + row.arg;
        if (line.size() + 1 > column)
            line = line + "\n" + std::string(column, ' ');
        else
            line.resize(column, ' ');
        for (const char *p = row.help; *p; p++) {
            line += *p;
            if (*p == '\n')
                line.append(column, ' ');
        }
        out += line + "\n";
    }
    return out;
}

// The keys of the settings file, wrapped like the rest of the usage text.
std::string settings_keys() {
    std::string out, line = "settings keys (man nimbus: SETTINGS):";
    for (size_t i = 0; i < cli::kSettingRowCount; i++) {
        std::string word = std::string(" ") + cli::kSettingRows[i].key +
                           (i + 1 < cli::kSettingRowCount ? "," : ".");
        if (line.size() + word.size() > 80) {
            out += line + "\n";
            line = word.substr(1);
        } else {
            line += word;
        }
    }
    return out + line + "\n";
}

std::string usage() {
    std::string out =
        std::string("usage: nimbus [OPTIONS] COMMAND [ARGS]\n\n") + kDescription + "\n";
    out += "\ncommands:\n";
    for (const command_row &row : kCommands) {
        if (!row.summary)
            continue;
        std::string line = std::string("  ") + row.name;
        if (*row.operands)
            line = line + " " + row.operands;
        line.resize(std::max(line.size() + 2, kUsageColumn), ' ');
        out += line + row.summary + "\n";
    }
    out += "\noptions:\n" + option_lines(nullptr, kUsageColumn);
    for (const command_row &row : kCommands) {
        std::string lines = option_lines(row.name, kUsageColumn);
        if (!lines.empty())
            out = out + "\noptions of " + row.name + ":\n" + lines;
    }
    return out + "\n" + settings_keys() + "\n" + kExitStatus;
}

std::string command_help(const command_row &command) {
    if (!command.help_after)
        return command.help;
    return command.help + option_lines(command.name, kCommandHelpColumn) + command.help_after;
}

} // namespace

int main(int argc, char **argv) {
    // The process holds a client secret and a refresh token: no core dump
    // may carry them to disk, and other processes of the user may not read
    // its memory.
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    try {
        int rc = run(argc, argv);
        if (rc != cli::EXIT_RESTART)
            return rc;
        // Everything of the last run is closed (listener, connections,
        // transport): the same command begins anew, in this process.
        std::fflush(nullptr);
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "nimbus: cannot start again: %s\n", std::strerror(errno));
        return cli::EXIT_OTHER;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "nimbus: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "nimbus: unexpected failure\n");
    }
    return cli::EXIT_OTHER;
}
