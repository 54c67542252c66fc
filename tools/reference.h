// What the command's documents say beyond its options: the settings keys the
// library takes and the URLs `nimbus serve` answers, one table each. The man
// page is written from these rows, the usage text names the keys from them,
// and the tests hold them against the library and against the user's guide,
// so that a key or URL added later cannot go unmentioned.
#ifndef NIMBUS_TOOLS_REFERENCE_H
#define NIMBUS_TOOLS_REFERENCE_H

#include <cstddef>

namespace cli {

// One member of the settings JSON.
struct setting_row {
    const char *key;      // "PageSize"
    const char *values;   // what it may hold: "an integer from 1 to 1000"
    const char *fallback; // what holds without it: "200"; "required", ...
    const char *help;     // what it does, lines separated by '\n'
    const char *accepted; // a JSON value the library takes (for the tests)
    const char *refused;  // one it refuses, or nullptr when any text goes
};

// One form of URL the gateway answers.
struct url_row {
    const char *form; // "/FOLDER/?format=json"
    const char *help; // what it answers, lines separated by '\n'
};

extern const setting_row kSettingRows[];
extern const size_t kSettingRowCount;
extern const url_row kUrlRows[];
extern const size_t kUrlRowCount;

} // namespace cli

#endif
