// The command's documentation outside `--help`: the man page nimbus(1) and
// the bash, zsh and fish completions, rendered from the same option and
// command tables that parse the command line, so none of them can disagree
// with it; and the suggestion for a mistyped command or option.
#ifndef NIMBUS_TOOLS_HELP_H
#define NIMBUS_TOOLS_HELP_H

#include "reference.h"

#include <string>
#include <utility>
#include <vector>

namespace cli {

// One option as its table row describes it.
struct doc_option {
    const char *name;    // "--timeout"
    const char *alias;   // "-v", or nullptr
    const char *arg;     // "FILE", "SECONDS", ...; nullptr for a flag
    const char *command; // the command it belongs to; nullptr: every command
    const char *help;    // lines separated by '\n'
};

// One command, or a help topic (summary nullptr).
struct doc_command {
    const char *name;
    const char *operands;
    const char *summary;
    const char *help;       // "usage: ..." first; nullptr: none
    const char *help_after; // follows the command's options; nullptr: none
};

struct doc_tables {
    std::vector<doc_option> options;
    std::vector<doc_command> commands;
    std::string description; // one sentence: what the command does
    std::string settings;    // the paragraph before the settings keys
    std::vector<setting_row> keys;
    std::vector<url_row> urls;
    std::string exit_status; // the "exit status:" block of `--help`
    std::string version;
};

std::string man_page(const doc_tables &t);
std::string bash_completion(const doc_tables &t);
std::string zsh_completion(const doc_tables &t);
std::string fish_completion(const doc_tables &t);
// Every name the documents must mention, one a line: "option --timeout",
// "key PageSize", "url /FOLDER/?format=json".
std::string doc_names(const doc_tables &t);

// The candidate closest to TYPED: a well-known alias of it (pairs of typed
// and meant), else the one candidate TYPED is a prefix of, else the nearest
// by edit distance (one edit for short words, two for longer ones). "" when
// none is close enough.
std::string closest(const std::string &typed, const std::vector<std::string> &candidates,
                    const std::vector<std::pair<std::string, std::string>> &aliases = {});

} // namespace cli

#endif
