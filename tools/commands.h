// The subcommands of `nimbus` and the command line they run from.
#ifndef NIMBUS_TOOLS_COMMANDS_H
#define NIMBUS_TOOLS_COMMANDS_H

#include <string>
#include <vector>

namespace cli {

struct options {
    std::string command;           // list, stream, validate, serve, redact, version
    std::vector<std::string> args; // its operands
    std::string settings_path;     // --settings; empty: the default place
    bool json = false;
    bool verbose = false;
    bool demo = false;
    bool write = false;
    long timeout_s = 60;
    std::vector<std::string> connect_to;
    std::string cacert;
    std::string listen;          // serve --listen ADDR:PORT; empty: 127.0.0.1:8080
    std::string auth_token_file; // serve --auth-token-file
    long threads = 0;            // serve --threads; 0: the default
};

// Each returns the process exit status.
int run_list(const options &o);
int run_stream(const options &o);
int run_validate(const options &o);
int run_redact(const options &o);
int run_version(const options &o);

} // namespace cli

#endif
