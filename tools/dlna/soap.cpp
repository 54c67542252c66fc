#include "soap.h"

#include <cstring>

#include "didl.h"

namespace dlna {

bool body_guard::feed(const char *data, size_t len) {
    if (refused_)
        return false;
    if (len > max_body - total_) {
        refused_ = true;
        return false;
    }
    total_ += len;
    for (size_t i = 0; i < len; i++) {
        char c = data[i];
        if (state_ == 2 && (c == 'D' || c == 'd')) {
            refused_ = true;
            return false;
        }
        state_ = c == '<' ? 1 : (state_ == 1 && c == '!') ? 2 : 0;
    }
    return true;
}

int read_browse(const char *object_id, const char *flag, const char *start, const char *count,
                browse_request &out) {
    if (!object_id || !flag)
        return invalid_args;
    if (std::strcmp(flag, "BrowseMetadata") == 0)
        out.metadata = true;
    else if (std::strcmp(flag, "BrowseDirectChildren") == 0)
        out.metadata = false;
    else
        return invalid_args;
    // Absent or empty paging arguments mean "from the start, everything":
    // some control points leave them out.
    out.start = 0;
    out.count = 0;
    if (start && *start && !read_ui4(start, out.start))
        return invalid_args;
    if (count && *count && !read_ui4(count, out.count))
        return invalid_args;
    if (out.metadata && out.start != 0)
        return invalid_args;
    if (!*object_id)
        out.path = "/"; // the root, as several control points name it
    else if (!object_path(object_id, out.path))
        return no_such_object;
    return 0;
}

bool read_ui4(const char *text, uint32_t &out) {
    uint64_t v = 0;
    size_t n = 0;
    for (; text[n]; n++) {
        if (text[n] < '0' || text[n] > '9' || n >= 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(text[n] - '0');
    }
    if (n == 0 || v > 0xFFFFFFFFu)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

} // namespace dlna
