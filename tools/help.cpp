// The man page and the shell completions, written from the command's tables
// at build time (`nimbus _docs FORMAT FILE`), and the closest-name search
// behind "did you mean".
#include "help.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace cli {
namespace {

std::vector<std::string> lines_of(const char *text);
std::string roff_escape(const std::string &line);
std::string roff_block(const char *text, bool skip_usage);
std::string one_line(const char *text);
std::string quoted(const std::string &text);
std::string fish_quoted(const std::string &text);
std::string zsh_description(const std::string &text);
bool takes_file(const doc_option &o);
bool belongs(const doc_option &o, const char *command);
size_t edit_distance(const std::string &a, const std::string &b);

} // namespace

std::string man_page(const doc_tables &t) {
    std::string out = ".\\\" Generated from the option and command tables of nimbus.\n";
    out += ".TH NIMBUS 1 \"\" \"nimbus " + t.version + "\" \"User Commands\"\n";
    std::string what = t.description;
    if (!what.empty())
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    if (!what.empty() && what.back() == '.')
        what.pop_back();
    out += ".SH NAME\nnimbus \\- " + roff_escape(what) + "\n";
    out += ".SH SYNOPSIS\n.B nimbus\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n";
    out += ".SH DESCRIPTION\n" + roff_escape(t.description) + "\n";

    auto option_items = [&](const char *command) {
        std::string items;
        for (const doc_option &o : t.options) {
            if (!belongs(o, command))
                continue;
            items += ".TP\n";
            if (o.alias)
                items += "\\fB" + roff_escape(o.alias) + "\\fR, ";
            items += "\\fB" + roff_escape(o.name) + "\\fR";
            if (o.arg)
                items += " \\fI" + roff_escape(o.arg) + "\\fR";
            items += "\n";
            for (const std::string &l : lines_of(o.help))
                items += roff_escape(l) + "\n";
        }
        return items;
    };

    out += ".SH COMMANDS\n";
    for (const doc_command &c : t.commands) {
        if (!c.summary)
            continue;
        out += ".SS \"" + roff_escape(std::string(c.name) + (*c.operands ? " " : "") + c.operands) +
               "\"\n";
        if (c.help)
            out += roff_block(c.help, true);
        else
            out += roff_escape(c.summary) + "\n";
        std::string own = option_items(c.name);
        if (!own.empty())
            out += ".PP\nOptions of " + roff_escape(c.name) + ":\n" + own + ".PP\n";
        if (c.help_after)
            out += roff_block(c.help_after, false);
    }
    out += ".SH OPTIONS\n" + option_items(nullptr);
    for (const doc_command &c : t.commands) {
        if (c.summary || !c.help)
            continue;
        std::string title = c.name;
        std::transform(title.begin(), title.end(), title.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
        out += ".SH " + roff_escape(title) + "\n" + roff_block(c.help, false);
    }
    out += ".SH SETTINGS\n" + roff_block(t.settings.c_str(), false);
    for (const setting_row &k : t.keys) {
        out += ".TP\n\\fB" + roff_escape(k.key) + "\\fR \\(em " + roff_escape(k.values) +
               "\nDefault: " + roff_escape(k.fallback) + ".\n";
        for (const std::string &l : lines_of(k.help))
            out += roff_escape(l) + "\n";
    }
    out += ".SH \"GATEWAY URLS\"\n"
           "What \\fBnimbus serve\\fR answers to GET and HEAD (other methods: 405). "
           "FOLDER and PATH are paths below the root folder, percent-encoded; "
           "parameters combine with &.\n";
    for (const url_row &u : t.urls) {
        out += ".TP\n\\fB" + roff_escape(u.form) + "\\fR\n";
        for (const std::string &l : lines_of(u.help))
            out += roff_escape(l) + "\n";
    }
    out += ".SH \"EXIT STATUS\"\n" + roff_block(t.exit_status.c_str(), false);
    out += ".SH FILES\n.TP\n\\fI$XDG_CONFIG_HOME/nimbus/settings.json\\fR, "
           "\\fI~/.config/nimbus/settings.json\\fR\n"
           "The settings file (mode 600), written by \\fBnimbus login\\fR.\n";
    out += ".SH \"SEE ALSO\"\n\\fBnimbus help\\fR \\fICOMMAND\\fR, "
           "\\fBsystemctl\\fR(1) \\fB\\-\\-user start nimbus\\-serve\\fR; the guides in "
           "\\fI/usr/share/doc/nimbus/\\fR: user\\-guide.md, host\\-guide.md, "
           "troubleshooting.md\n";
    return out;
}

std::string bash_completion(const doc_tables &t) {
    std::string values, files, global, commands, topics, per_command;
    for (const doc_option &o : t.options) {
        std::string spellings = std::string(o.name) + (o.alias ? std::string(" ") + o.alias : "");
        if (o.arg)
            (takes_file(o) ? files : values) += " " + spellings;
        if (!o.command)
            global += " " + spellings;
    }
    for (const doc_command &c : t.commands) {
        if (c.help)
            topics += std::string(" ") + c.name;
        if (!c.summary)
            continue;
        commands += std::string(" ") + c.name;
        std::string own;
        for (const doc_option &o : t.options)
            if (belongs(o, c.name))
                own += std::string(" ") + o.name;
        if (!own.empty())
            per_command += std::string("        ") + c.name + ") opts+=" + quoted(own) + " ;;\n";
    }
    std::string out = "# bash completion for nimbus, generated from its option and command "
                      "tables.\n"
                      "_nimbus() {\n"
                      "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
                      "    local files=" +
                      quoted(files + " ") + " values=" + quoted(values + " ") +
                      "\n"
                      "    local i word command=\n"
                      "    COMPREPLY=()\n"
                      "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
                      "        word=${COMP_WORDS[i]}\n"
                      "        if [[ $values$files == *\" $word \"* ]]; then\n"
                      "            ((i++))\n"
                      "        elif [[ $word != -* ]]; then\n"
                      "            command=$word\n"
                      "            break\n"
                      "        fi\n"
                      "    done\n"
                      "    if [[ $files == *\" $prev \"* ]]; then\n"
                      "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
                      "        return\n"
                      "    fi\n"
                      "    [[ $values == *\" $prev \"* ]] && return\n"
                      "    local opts=" +
                      quoted(global) +
                      "\n"
                      "    case $command in\n" +
                      per_command +
                      "    esac\n"
                      "    if [[ $cur == -* ]]; then\n"
                      "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
                      "    elif [[ -z $command ]]; then\n"
                      "        COMPREPLY=($(compgen -W " +
                      quoted(commands) +
                      " -- \"$cur\"))\n"
                      "    elif [[ $command == help && $i -eq $((COMP_CWORD - 1)) ]]; then\n"
                      "        COMPREPLY=($(compgen -W " +
                      quoted(topics) +
                      " -- \"$cur\"))\n"
                      "    fi\n"
                      "}\n"
                      "complete -F _nimbus nimbus\n";
    return out;
}

std::string zsh_completion(const doc_tables &t) {
    auto specs = [&](const char *command) {
        std::string out;
        for (const doc_option &o : t.options) {
            if (!belongs(o, command))
                continue;
            std::string what = zsh_description(one_line(o.help));
            std::string value;
            if (o.arg)
                value = ":" + zsh_description(o.arg) + ":" + (takes_file(o) ? "_files" : " ");
            for (const char *spelling : {o.name, o.alias})
                if (spelling)
                    out += "        " + quoted(std::string(spelling) + "[" + what + "]" + value) +
                           "\n";
        }
        return out;
    };
    std::string commands, topics, per_command;
    for (const doc_command &c : t.commands) {
        if (c.help)
            topics += std::string(" ") + c.name;
        if (!c.summary)
            continue;
        commands += "        " + quoted(std::string(c.name) + ":" + c.summary) + "\n";
        std::string own = specs(c.name);
        if (!own.empty())
            per_command += std::string("        ") + c.name + ") own=(\n" + own + "        ) ;;\n";
    }
    std::string out = "#compdef nimbus\n"
                      "# zsh completion for nimbus, generated from its option and command tables.\n"
                      "_nimbus() {\n"
                      "    local curcontext=$curcontext state line ret=1\n"
                      "    local -a global own commands\n"
                      "    global=(\n" +
                      specs(nullptr) +
                      "    )\n"
                      "    _arguments -C $global '1:command:->command' '*::argument:->argument' "
                      "&& ret=0\n"
                      "    case $state in\n"
                      "    command)\n"
                      "        commands=(\n" +
                      commands +
                      "        )\n"
                      "        _describe -t commands 'nimbus command' commands && ret=0\n"
                      "        ;;\n"
                      "    argument)\n"
                      "        case $words[1] in\n" +
                      per_command + "        help) own=('1:topic:(" +
                      topics.substr(topics.empty() ? 0 : 1) +
                      ")') ;;\n"
                      "        esac\n"
                      "        _arguments $global $own '*: :_default' && ret=0\n"
                      "        ;;\n"
                      "    esac\n"
                      "    return ret\n"
                      "}\n"
                      "_nimbus \"$@\"\n";
    return out;
}

std::string fish_completion(const doc_tables &t) {
    std::string out = "# fish completion for nimbus, generated from its option and command "
                      "tables.\n"
                      "complete -c nimbus -f\n";
    std::string topics;
    for (const doc_command &c : t.commands) {
        if (c.help)
            topics += std::string(" ") + c.name;
        if (c.summary)
            out += std::string("complete -c nimbus -n __fish_use_subcommand -a ") + c.name +
                   " -d " + fish_quoted(c.summary) + "\n";
    }
    out += "complete -c nimbus -n '__fish_seen_subcommand_from help' -x -a " +
           fish_quoted(topics.substr(topics.empty() ? 0 : 1)) + "\n";
    for (const doc_option &o : t.options) {
        out += "complete -c nimbus";
        if (o.command)
            out += std::string(" -n '__fish_seen_subcommand_from ") + o.command + "'";
        if (o.alias && std::strlen(o.alias) == 2)
            out += std::string(" -s ") + (o.alias + 1);
        out += std::string(" -l ") + (o.name + 2);
        if (o.arg)
            out += takes_file(o) ? " -r -F" : " -x";
        out += " -d " + fish_quoted(one_line(o.help)) + "\n";
    }
    return out;
}

std::string doc_names(const doc_tables &t) {
    std::string out;
    for (const doc_option &o : t.options) {
        out += std::string("option ") + o.name + "\n";
        if (o.alias)
            out += std::string("option ") + o.alias + "\n";
    }
    for (const setting_row &k : t.keys)
        out += std::string("key ") + k.key + "\n";
    for (const url_row &u : t.urls)
        out += std::string("url ") + u.form + "\n";
    return out;
}

std::string closest(const std::string &typed, const std::vector<std::string> &candidates,
                    const std::vector<std::pair<std::string, std::string>> &aliases) {
    for (const auto &a : aliases)
        if (a.first == typed)
            return a.second;
    if (typed.empty())
        return {};
    std::string prefixed;
    int prefixes = 0;
    for (const std::string &c : candidates)
        if (c.size() > typed.size() && c.compare(0, typed.size(), typed) == 0) {
            prefixed = c;
            prefixes++;
        }
    if (prefixes == 1 && typed.size() >= 2)
        return prefixed;
    size_t limit = typed.size() <= 4 ? 1 : 2;
    std::string best;
    size_t best_distance = limit + 1;
    for (const std::string &c : candidates) {
        size_t d = edit_distance(typed, c);
        if (d < best_distance) {
            best = c;
            best_distance = d;
        }
    }
    return best;
}

namespace {

// A table text as its lines (a final newline ends the last one).
std::vector<std::string> lines_of(const char *text) {
    std::vector<std::string> lines;
    std::string line;
    for (const char *p = text; *p; p++) {
        if (*p == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += *p;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// One line of text for roff: backslashes and minus signs spelled out, and a
// leading dot or quote kept from being read as a request.
std::string roff_escape(const std::string &line) {
    std::string out;
    if (!line.empty() && (line[0] == '.' || line[0] == '\''))
        out = "\\&";
    for (char c : line) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    return out;
}

// Help text as roff: running lines are filled into paragraphs, a blank line
// starts the next one, indented lines (examples, tables) keep their shape.
// The usage lines that open a command's help are left out: the section
// heading names the command.
std::string roff_block(const char *text, bool skip_usage) {
    std::vector<std::string> lines = lines_of(text);
    size_t i = 0;
    if (skip_usage && !lines.empty() && lines[0].compare(0, 6, "usage:") == 0) {
        i = 1;
        while (i < lines.size() && !lines[i].empty() && lines[i][0] == ' ')
            i++;
    }
    std::string out;
    bool verbatim = false;
    bool pending_break = true;
    for (; i < lines.size(); i++) {
        const std::string &l = lines[i];
        bool indented = l.compare(0, 2, "  ") == 0;
        if (l.empty()) {
            if (verbatim) {
                out += ".fi\n.RE\n";
                verbatim = false;
            }
            pending_break = true;
            continue;
        }
        if (indented != verbatim) {
            out += indented ? ".RS 4\n.nf\n" : ".fi\n.RE\n";
            verbatim = indented;
        } else if (pending_break && !indented) {
            out += ".PP\n";
        }
        pending_break = false;
        out += roff_escape(indented ? l.substr(2) : l) + "\n";
    }
    if (verbatim)
        out += ".fi\n.RE\n";
    return out;
}

// A help text on one line, for the description of a completion.
std::string one_line(const char *text) {
    std::string out;
    for (const std::string &l : lines_of(text))
        out += (out.empty() ? "" : " ") + l;
    return out;
}

// TEXT in single quotes for bash and zsh.
std::string quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string fish_quoted(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

// Brackets end the description of an _arguments item; colons separate its
// fields.
std::string zsh_description(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '[' || c == ']' || c == ':' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

bool takes_file(const doc_option &o) {
    return o.arg && std::strcmp(o.arg, "FILE") == 0;
}

bool belongs(const doc_option &o, const char *command) {
    return command ? o.command && std::strcmp(o.command, command) == 0 : o.command == nullptr;
}

// Levenshtein distance with adjacent transpositions counted as one edit.
size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); j++)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); i++)
        for (size_t j = 1; j <= b.size(); j++) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

} // namespace
} // namespace cli
