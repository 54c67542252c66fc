// nimbus: a command-line host for the nimbus library. It browses a OneDrive
// drive through the library over its own libcurl transport, or an offline
// demo drive through the library's fake transport.
#include "commands.h"
#include "login.h"
#include "output.h"
#include "serve.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <vector>

namespace {

const char kUsage[] =
    "usage: nimbus [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Browse a OneDrive drive read-only through Microsoft Graph.\n"
    "\n"
    "commands:\n"
    "  list [FOLDER...]    list folders (default: the configured root)\n"
    "  stream ENTRY...     print the stream URL of files\n"
    "  validate [--write]  check the settings against the service; store what changed\n"
    "  login               sign in with a browser and write the settings file\n"
    "  serve               HTTP gateway for media players and browsers (see help serve)\n"
    "  redact TEXT         print TEXT with credentials masked\n"
    "  version             print the versions of nimbus and libcurl\n"
    "  help [COMMAND]      print this text or a command's\n"
    "\n"
    "options:\n"
    "  --settings FILE     settings JSON (default $XDG_CONFIG_HOME/nimbus/settings.json,\n"
    "                      else ~/.config/nimbus/settings.json); must be mode 600\n"
    "  --demo              use the built-in offline demo drive instead of the network\n"
    "  --json              print the library's JSON answers unchanged\n"
    "  -v, --verbose       one line per HTTP exchange on stderr (method, URL, status, ms)\n"
    "  --timeout SECONDS   limit for one HTTP exchange (default 60; connecting: 10)\n"
    "  --max-time SECONDS  limit for the whole command, retries included (default: none)\n"
    "  --retries N         repeat a throttled (429, 503, 504) or lost request up to N\n"
    "                      times, waiting as the service asks (default 5; 0: never)\n"
    "  --page-size N       entries per listing request, 1 to 1000 (default 1000, or the\n"
    "                      settings' PageSize)\n"
    "  --connect-to HOST:PORT:TOHOST:TOPORT\n"
    "                      connect to another server for HOST:PORT (repeatable)\n"
    "  --cacert FILE       trust the CA certificates in FILE instead of the system's\n"
    "  --version           print the versions of the command and the library\n"
    "  -h, --help          print help (nimbus help demo: the offline demo drive)\n"
    "\n"
    "settings keys: ClientId, ClientSecret, refresh_token (or RefreshToken), and\n"
    "optionally Path (the root folder), scope, ID, RuntimeType (ONEDRIVE or ONEDRIVEB),\n"
    "PageSize (1 to 1000).\n"
    "\n"
    "exit status:\n"
    "  0  success\n"
    "  1  other failure (NIMBUS_E_FAILED, NIMBUS_E_UNSUPPORTED, a local fault)\n"
    "  2  wrong command line\n"
    "  3  settings invalid (NIMBUS_E_INVALID, or a missing or unprotected settings file)\n"
    "  4  authorisation refused (NIMBUS_E_AUTH)\n"
    "  5  not found (NIMBUS_E_NOT_FOUND)\n"
    "  6  throttled (NIMBUS_E_THROTTLED)\n"
    "  7  service unavailable or unreachable (NIMBUS_E_UNAVAILABLE)\n"
    "  130  interrupted (Ctrl-C)\n";

struct command_help {
    const char *name;
    const char *text;
};

const command_help kHelp[] = {
    {"list", "usage: nimbus [OPTIONS] list [FOLDER...]\n"
             "\n"
             "Lists each FOLDER: a path below the configured root such as /Music/Jazz (quote\n"
             "names with spaces), a Graph item id, or / for the root (the default).\n"
             "Prints kind, size, modification time (UTC) and name, folders first; with\n"
             "--json the library's {\"items\":[...]} answer, one line per folder.\n"},
    {"stream", "usage: nimbus [OPTIONS] stream ENTRY...\n"
               "\n"
               "Prints the pre-authorised download URL of each file ENTRY (a path such as\n"
               "/Music/a.mp3 or a Graph item id; JSON such as {\"id\":\"...\"} passes as is),\n"
               "followed by its name and size; with --json the library's locator answer.\n"},
    {"validate", "usage: nimbus [OPTIONS] validate [--write]\n"
                 "\n"
                 "Checks the settings against the service by listing the configured root.\n"
                 "When the service rotated the refresh token, or the settings have no ID,\n"
                 "says what should be stored; with --write stores it in the settings file\n"
                 "(atomically, mode 600, every other member kept as it was).\n"},
    {"login",
     "usage: nimbus [OPTIONS] login --client-id ID [--client-secret-file FILE] [--path FOLDER]\n"
     "                              [--scope SCOPE] [--port PORT] [--wait SECONDS] [--no-browser]\n"
     "\n"
     "Signs in to Microsoft with a browser (OAuth 2.0 authorization code with PKCE) and\n"
     "writes ClientId, ClientSecret, refresh_token and RuntimeType (ONEDRIVEB for a\n"
     "OneDrive for Business drive, else ONEDRIVE) into the settings file, keeping every\n"
     "other member. The app registration needs the platform \"Web\" with the redirect\n"
     "URI http://localhost:8914/ (or the --port you use), and the delegated permissions\n"
     "Files.Read.All and offline_access; see the README's \"Getting credentials\".\n"
     "\n"
     "  --client-id ID            the application (client) ID; default: the settings'\n"
     "  --client-secret-file FILE read the client secret from FILE; else from the\n"
     "                            environment variable NIMBUS_CLIENT_SECRET, else the\n"
     "                            settings' own (same client id), else a hidden prompt\n"
     "  --path FOLDER             store FOLDER as the root folder (Path)\n"
     "  --scope SCOPE             default \"offline_access Files.Read.All\" (stored when given)\n"
     "  --port PORT               the loopback port of the redirect URI (default 8914);\n"
     "                            the command listens on 127.0.0.1 only\n"
     "  --wait SECONDS            how long to wait for the sign-in (default 300)\n"
     "  --no-browser              open no browser and do not listen: sign in on any\n"
     "                            machine and paste the address the browser was sent to\n"
     "\n"
     "With a display and without --no-browser, the address is opened with xdg-open.\n"
     "Exit status 4 when the sign-in or the code exchange is refused or the answer\n"
     "does not belong to this sign-in; 1 when no sign-in arrives in time or the port\n"
     "is in use.\n"},
    {"demo", "usage: nimbus --demo COMMAND [ARGS]\n"
             "\n"
             "Runs list, stream or validate against a built-in offline drive (about 300\n"
             "music, podcast and video entries described by demo-drive.json) served by the\n"
             "library's fake transport: no account, no settings file, no network. Try\n"
             "  nimbus --demo list /Music\n"
             "  nimbus --demo stream \"/Music/AC∕DC/Back in Black/01 Hells Bells.flac\"\n"
             "  nimbus --demo -v list \"/Podcasts/Radio Archive\"\n"},
    {"serve", "usage: nimbus [OPTIONS] serve [--listen ADDR:PORT] [--auth-token-file FILE]\n"
              "                              [--threads N]\n"
              "\n"
              "Serves the drive over HTTP until SIGINT or SIGTERM (default 127.0.0.1:8080):\n"
              "  /FOLDER/              a page of the folder (folders first, then files)\n"
              "  /FOLDER/?format=json  the library's {\"items\":[...]} answer\n"
              "  /FOLDER/?format=m3u   a playlist of its audio and video files\n"
              "  /PATH/TO/FILE         302 to the file's pre-authorised download URL\n"
              "e.g. mpv http://127.0.0.1:8080/Music/Album/?format=m3u\n"
              "A loopback address needs no credential (and answers only to a loopback Host).\n"
              "Any other address needs --auth-token-file: a mode 600 file whose first line\n"
              "is the secret (16 characters or more), sent as the password of HTTP Basic\n"
              "authentication or as the query parameter t. --threads sets the size of the\n"
              "request thread pool (default 4). One line per request goes to stderr.\n"},
    {"redact", "usage: nimbus redact TEXT\n"
               "\n"
               "Prints TEXT with URL user information and secret parameters (access_token,\n"
               "refresh_token, client_secret, tempauth, token, password, ...) masked.\n"},
    {"version", "usage: nimbus version\n"
                "\n"
                "Prints the versions of the command, the nimbus library and libcurl; with\n"
                "--json as an object. Also nimbus --version.\n"},
};

const char *help_for(const std::string &command) {
    for (const command_help &h : kHelp)
        if (command == h.name)
            return h.text;
    return nullptr;
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "nimbus: %s\n(see nimbus --help)\n", message.c_str());
    return cli::EXIT_USAGE;
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

int run(int argc, char **argv) {
    cli::options o;
    bool help = false, options_done = false, version = false;
    std::vector<std::string> login_only;

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
        std::string value;
        bool has_value = false;
        size_t eq = a.find('=');
        if (a.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a.resize(eq);
            has_value = true;
        }
        auto take = [&](std::string *out) {
            if (has_value) {
                *out = value;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        auto flag = [&](bool *out) {
            if (has_value)
                return false;
            *out = true;
            return true;
        };
        bool ok;
        if (a == "-h" || a == "--help") {
            ok = flag(&help);
        } else if (a == "-v" || a == "--verbose") {
            ok = flag(&o.verbose);
        } else if (a == "--json") {
            ok = flag(&o.json);
        } else if (a == "--demo") {
            ok = flag(&o.demo);
        } else if (a == "--write") {
            ok = flag(&o.write);
        } else if (a == "--version") {
            ok = flag(&version);
        } else if (a == "--no-browser") {
            ok = flag(&o.no_browser);
            login_only.push_back(a);
        } else if (a == "--client-id" || a == "--client-secret-file" || a == "--scope") {
            ok = take(a == "--client-id" ? &o.client_id
                      : a == "--scope"   ? &o.scope
                                         : &o.client_secret_file);
            login_only.push_back(a);
        } else if (a == "--path") {
            ok = take(&o.root_path);
            o.has_root_path = true;
            login_only.push_back(a);
        } else if (a == "--client-secret") {
            return usage_error("a client secret on the command line is visible to every user: "
                               "use --client-secret-file FILE or NIMBUS_CLIENT_SECRET");
        } else if (a == "--port" || a == "--wait") {
            std::string t;
            ok = take(&t);
            if (ok) {
                char *end = nullptr;
                errno = 0;
                long v = std::strtol(t.c_str(), &end, 10);
                bool port = a == "--port";
                if (t.empty() || *end || errno || v < 1 || v > (port ? 65535 : 86400))
                    return usage_error(a +
                                       (port ? " wants a port from 1 to 65535, not "
                                             : " wants whole seconds from 1 to 86400, not ") +
                                       t);
                (port ? o.port : o.wait_s) = v;
            }
            login_only.push_back(a);
        } else if (a == "--settings") {
            ok = take(&o.settings_path);
            if (ok && o.settings_path.empty())
                return usage_error("--settings needs a file name");
        } else if (a == "--listen") {
            ok = take(&o.listen);
        } else if (a == "--auth-token-file") {
            ok = take(&o.auth_token_file);
            if (ok && o.auth_token_file.empty())
                return usage_error("--auth-token-file needs a file name");
        } else if (a == "--threads") {
            std::string t;
            ok = take(&t);
            if (ok) {
                char *end = nullptr;
                errno = 0;
                long v = std::strtol(t.c_str(), &end, 10);
                if (t.empty() || *end || errno || v < 1 || v > 64)
                    return usage_error("--threads wants a number from 1 to 64, not " + t);
                o.threads = v;
            }
        } else if (a == "--cacert") {
            ok = take(&o.cacert);
        } else if (a == "--connect-to") {
            std::string rule;
            ok = take(&rule);
            if (ok && !valid_connect_to(rule))
                return usage_error("--connect-to wants HOST:PORT:TOHOST:TOPORT, not " + rule);
            o.connect_to.push_back(rule);
        } else if (a == "--timeout") {
            std::string t;
            ok = take(&t);
            if (ok) {
                char *end = nullptr;
                errno = 0;
                long v = std::strtol(t.c_str(), &end, 10);
                if (t.empty() || *end || errno || v < 1 || v > 86400)
                    return usage_error("--timeout wants whole seconds from 1 to 86400, not " + t);
                o.timeout_s = v;
            }
        } else if (a == "--max-time") {
            std::string t;
            ok = take(&t);
            if (ok) {
                char *end = nullptr;
                errno = 0;
                double v = std::strtod(t.c_str(), &end);
                // Like curl: decimal seconds, 0 for no limit.
                if (t.empty() || *end || errno || !(v >= 0) || v > 31536000)
                    return usage_error("--max-time wants seconds from 0 to 31536000, not " + t);
                o.max_time_s = v;
            }
        } else if (a == "--retries" || a == "--page-size") {
            std::string t;
            ok = take(&t);
            if (ok) {
                bool retries = a == "--retries";
                long low = retries ? 0 : 1, high = retries ? 100 : 1000;
                char *end = nullptr;
                errno = 0;
                long v = std::strtol(t.c_str(), &end, 10);
                if (t.empty() || *end || errno || v < low || v > high)
                    return usage_error(a + " wants a whole number from " + std::to_string(low) +
                                       " to " + std::to_string(high) + ", not " + t);
                if (retries) {
                    o.retries = static_cast<int>(v);
                } else {
                    o.page_size = static_cast<int>(v);
                    o.page_size_given = true;
                }
            }
        } else {
            return usage_error("unknown option " + a);
        }
        if (!ok)
            return usage_error(has_value ? a + " takes no value" : a + " needs a value");
    }

    if (version)
        return cli::run_version(o);
    if (o.command == "help") {
        if (o.args.empty()) {
            std::fputs(kUsage, stdout);
            return cli::EXIT_OK;
        }
        const char *text = help_for(o.args[0]);
        if (!text)
            return usage_error("no help for " + o.args[0]);
        std::fputs(text, stdout);
        return cli::EXIT_OK;
    }
    if (help) {
        const char *text = help_for(o.command);
        std::fputs(text ? text : kUsage, stdout);
        return cli::EXIT_OK;
    }
    if (o.command.empty()) {
        std::fputs(kUsage, stderr);
        return cli::EXIT_USAGE;
    }
    if (!help_for(o.command))
        return usage_error("unknown command " + o.command);
    if (!login_only.empty() && o.command != "login")
        return usage_error(login_only[0] + " belongs to login");
    if (o.command == "demo")
        return usage_error("demo is an option: nimbus --demo list (see nimbus help demo)");
    if (o.command == "login") {
        if (o.demo)
            return usage_error("login signs in to an account; the demo needs none");
        if (!o.args.empty())
            return usage_error("login takes no operands");
        return cli::run_login(o);
    }
    if (o.write && o.command != "validate")
        return usage_error("--write belongs to validate");
    if (o.demo && !o.settings_path.empty())
        return usage_error("--demo brings its own settings; drop --settings");
    if (o.command != "serve" && (!o.listen.empty() || !o.auth_token_file.empty() || o.threads))
        return usage_error("--listen, --auth-token-file and --threads belong to serve");
    if (o.demo && o.write)
        return usage_error("--write needs a settings file; the demo has none");

    if (o.command == "list")
        return cli::run_list(o);
    if (o.command == "stream") {
        if (o.args.empty())
            return usage_error("stream needs an ENTRY");
        return cli::run_stream(o);
    }
    if (o.command == "validate") {
        if (!o.args.empty())
            return usage_error("validate takes no operands");
        return cli::run_validate(o);
    }
    if (o.command == "serve") {
        if (!o.args.empty())
            return usage_error("serve takes no operands");
        return cli::run_serve(o);
    }
    if (o.command == "redact") {
        if (o.args.size() != 1)
            return usage_error("redact takes exactly one TEXT");
        return cli::run_redact(o);
    }
    if (!o.args.empty())
        return usage_error("version takes no operands");
    return cli::run_version(o);
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
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "nimbus: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "nimbus: unexpected failure\n");
    }
    return cli::EXIT_OTHER;
}
