// The subcommands of `nimbus` and the command line they run from.
#ifndef NIMBUS_TOOLS_COMMANDS_H
#define NIMBUS_TOOLS_COMMANDS_H

#include <chrono>
#include <string>
#include <vector>

namespace cli {

struct options {
    std::string command;           // list, stream, validate, login, serve, redact, version
    std::vector<std::string> args; // its operands
    std::string settings_path;     // --settings; empty: the default place
    bool json = false;
    bool long_form = false; // --long: list, list -R and search show size, time and media
    bool verbose = false;
    bool quiet = false; // --quiet: no progress lines (the waits for a retry)
    bool demo = false;
    bool write = false;
    long timeout_s = 60;
    double max_time_s = 0; // --max-time; 0: no limit for the whole command
    int retries = 5;
    int page_size = 1000;
    bool page_size_given = false;
    std::vector<std::string> connect_to;
    std::string cacert;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    // login only
    std::string client_id;
    std::string client_secret_file;
    std::string scope;
    std::string cloud;     // --cloud NAME; empty: the settings' own, else the global cloud
    std::string root_path; // --path
    bool has_root_path = false;
    bool no_browser = false;
    bool device = false;        // --device: the device-code flow
    bool public_client = false; // --public: no client secret
    long port = 0;              // 0: the default
    long wait_s = 300;
    std::string listen;          // serve --listen ADDR:PORT; empty: 127.0.0.1:8080
    std::string auth_token_file; // serve --auth-token-file
    long threads = 0;            // serve --threads; 0: the default
    bool dlna = false;           // serve --dlna
    std::string dlna_allow;      // serve --dlna-allow CIDR[,CIDR...]; empty: the LAN
    std::string dlna_name;       // serve --name TEXT; empty: "nimbus on HOST"
    long dlna_port = 0;          // serve --dlna-port N; 0: from the listen port
    bool dlna_all = false;       // serve --dlna-all: every file, not media only
    // list -R
    bool recursive = false;
    long max_depth = 0; // 0: the whole tree
    std::string include, exclude;
};

// The exit status of a command ended by Ctrl-C.
constexpr int EXIT_INTERRUPTED = 130;
// Not an exit status: serve stopped to start again as it was started (a
// new sign-in is in the settings), which main does by executing itself.
constexpr int EXIT_RESTART = -1;

// The subcommands, one file each (tools/cmd_NAME.cpp; login and serve
// are folders of their own). Each returns the process exit status.
int run_list(const options &o); // with o.recursive, list -R
int run_search(const options &o);
int run_stream(const options &o);
int run_about(const options &o);
int run_logout(const options &o);
int run_validate(const options &o);
int run_redact(const options &o);
int run_version(const options &o);

// Operands (tools/operands.cpp). "/" and "" name the configured root, and
// a trailing slash is dropped.
std::string folder_arg(const std::string &folder);
// An operand without a leading "/" is an item id to the library.
bool taken_for_id(const std::string &arg);
// The message for such an operand that was not found.
std::string id_not_found(const std::string &arg);
// Whether --include and --exclude let an entry of this name be printed
// (shell patterns over the name).
bool name_wanted(const options &o, const char *name);

} // namespace cli

#endif
