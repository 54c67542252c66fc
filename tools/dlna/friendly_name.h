// The MediaServer's friendly name as a host gives it (serve --name): read by
// the command line, so it builds without GUPnP.
#ifndef NIMBUS_TOOLS_DLNA_FRIENDLY_NAME_H
#define NIMBUS_TOOLS_DLNA_FRIENDLY_NAME_H

#include <string>

namespace dlna {

// Whether NAME may be shown as it is: 1 to 64 bytes (control points keep
// friendly names under 64) of valid UTF-8 (shortest forms, no surrogates)
// without control characters (C0, DEL, C1) or the non-characters U+FFFE and
// U+FFFF.
bool friendly_name_ok(const std::string &name);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_FRIENDLY_NAME_H
