// nimbus: a command-line host for the nimbus library. It browses a OneDrive
// drive through the library over its own libcurl transport, or an offline
// demo drive through the library's fake transport.
#include "commands.h"
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>

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
    "  --connect-to HOST:PORT:TOHOST:TOPORT\n"
    "                      connect to another server for HOST:PORT (repeatable)\n"
    "  --cacert FILE       trust the CA certificates in FILE instead of the system's\n"
    "  -h, --help          print help\n"
    "\n"
    "settings keys: ClientId, ClientSecret, refresh_token (or RefreshToken), and\n"
    "optionally Path (the root folder), scope, ID, RuntimeType (ONEDRIVE or ONEDRIVEB).\n"
    "\n"
    "exit status:\n"
    "  0  success\n"
    "  1  other failure (NIMBUS_E_FAILED, NIMBUS_E_UNSUPPORTED, a local fault)\n"
    "  2  wrong command line\n"
    "  3  settings invalid (NIMBUS_E_INVALID, or a missing or unprotected settings file)\n"
    "  4  authorisation refused (NIMBUS_E_AUTH)\n"
    "  5  not found (NIMBUS_E_NOT_FOUND)\n"
    "  6  throttled (NIMBUS_E_THROTTLED)\n"
    "  7  service unavailable or unreachable (NIMBUS_E_UNAVAILABLE)\n";

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
    {"redact", "usage: nimbus redact TEXT\n"
               "\n"
               "Prints TEXT with URL user information and secret parameters (access_token,\n"
               "refresh_token, client_secret, tempauth, token, password, ...) masked.\n"},
    {"version", "usage: nimbus version\n"
                "\n"
                "Prints the versions of nimbus and libcurl; with --json as an object.\n"},
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
    bool help = false, options_done = false;

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
        } else if (a == "--settings") {
            ok = take(&o.settings_path);
            if (ok && o.settings_path.empty())
                return usage_error("--settings needs a file name");
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
        } else {
            return usage_error("unknown option " + a);
        }
        if (!ok)
            return usage_error(has_value ? a + " takes no value" : a + " needs a value");
    }

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
    if (o.write && o.command != "validate")
        return usage_error("--write belongs to validate");
    if (o.demo && !o.settings_path.empty())
        return usage_error("--demo brings its own settings; drop --settings");
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
