// The operands the subcommands share: folders and the paths or item ids
// that name an entry (see commands.h).
#include "commands.h"

#include <fnmatch.h>
#include <string>

namespace cli {

// "/" and "" name the configured root; a trailing slash is dropped.
std::string folder_arg(const std::string &folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/')
        f.pop_back();
    return f == "/" ? std::string() : f;
}

// The library takes an argument without a leading "/" for an item id. A
// person who typed a folder name (list Music) learns why it was not found;
// it is not retried as a path, since an id without "!" (a OneDrive for
// Business id) cannot be told from a name, and a retry could list another
// folder than the one meant.
std::string id_not_found(const std::string &arg) {
    return "item id " + arg + " not found; paths start with /";
}

bool taken_for_id(const std::string &arg) {
    return !arg.empty() && arg[0] != '/' && arg[0] != '{' && arg[0] != '"';
}

bool name_wanted(const options &o, const char *name) {
    if (!o.include.empty() && fnmatch(o.include.c_str(), name, 0) != 0)
        return false;
    return o.exclude.empty() || fnmatch(o.exclude.c_str(), name, 0) != 0;
}

} // namespace cli
