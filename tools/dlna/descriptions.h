// The device description and the two service descriptions (SCPD) that the
// MediaServer hosts.
#ifndef NIMBUS_TOOLS_DLNA_DESCRIPTIONS_H
#define NIMBUS_TOOLS_DLNA_DESCRIPTIONS_H

#include <string>

namespace dlna {

extern const char content_directory_type[];
extern const char connection_manager_type[];
extern const char content_directory_scpd[];
extern const char connection_manager_scpd[];
// The protocolInfo list of GetProtocolInfo's Source.
extern const char source_protocols[];

// The device description: FRIENDLY_NAME is escaped and cut to 63 bytes
// (never inside a UTF-8 sequence); UUID must already be checked.
std::string device_description(const std::string &friendly_name, const std::string &uuid);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_DESCRIPTIONS_H
