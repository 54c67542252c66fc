// What the MediaServer reads from a control point before and after GUPnP has
// parsed the SOAP envelope: a guard over the raw request body, and the reader
// of Browse's arguments.
#ifndef NIMBUS_TOOLS_DLNA_SOAP_H
#define NIMBUS_TOOLS_DLNA_SOAP_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "dlna.h"

namespace dlna {

// The largest request body accepted: a Browse request is well under 2 KiB.
constexpr size_t max_body = 64 * 1024;

// Watches a request body as it arrives, chunk by chunk. It refuses a body
// past max_body, and one holding a document type declaration ("<!DOCTYPE"):
// SOAP forbids them, and they are the only way to declare entities, so no
// entity can be expanded. Once refused, it stays refused.
class body_guard {
  public:
    bool feed(const char *data, size_t len); // false: refuse the request
    bool refused() const { return refused_; }

  private:
    size_t total_ = 0;
    int state_ = 0; // 0, after "<", after "<!"
    bool refused_ = false;
};

// Whether a body is a document an XML parser can only read as UTF-8: no NUL
// byte, no byte order mark but UTF-8's, a "<" or a blank first (so no other
// encoding is detected from its first bytes), and an XML declaration that
// names no encoding but UTF-8. In any other encoding a document type
// declaration would not show as the ASCII bytes body_guard looks for.
bool utf8_document(const char *body, size_t len);

// Whether a SOAP request names an action (SOAPACTION "TYPE#ACTION") and its
// body is a well-formed UTF-8 envelope (utf8_document), without a document
// type declaration, whose Body holds that action's element.
bool envelope_ok(const char *body, size_t len, const char *soap_action);

// UPnP error codes of Browse.
enum : int {
    invalid_args = 402,
};

struct browse_request {
    std::string path;      // the virtual path the ObjectID names
    bool metadata = false; // BrowseMetadata, else BrowseDirectChildren
    uint32_t start = 0;    // StartingIndex
    uint32_t count = 0;    // RequestedCount; 0 asks for all
};

// Reads Browse's arguments (a null pointer: the argument was absent). 0, or
// invalid_args (402) for a missing or malformed argument, or 701 for an
// ObjectID that names no path. An empty ObjectID is the root.
int read_browse(const char *object_id, const char *flag, const char *start, const char *count,
                browse_request &out);

// A ui4 argument: decimal digits only, at most 4294967295.
bool read_ui4(const char *text, uint32_t &out);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_SOAP_H
