// The device description and the service descriptions (SCPD) that the
// MediaServer hosts, and the answers that never change.
#ifndef NIMBUS_TOOLS_DLNA_DESCRIPTIONS_H
#define NIMBUS_TOOLS_DLNA_DESCRIPTIONS_H

#include <string>

namespace dlna {

extern const char content_directory_type[];
extern const char connection_manager_type[];
extern const char content_directory_scpd[];
extern const char connection_manager_scpd[];
extern const char registrar_type[]; // X_MS_MediaReceiverRegistrar:1
extern const char registrar_scpd[];
// X_GetFeatureList's FeatureList: samsung.com_BASICVIEW naming the root "0"
// as the container of audio, video and images (the tree is the drive's
// folders; there are no containers by kind).
extern const char feature_list[];
// The protocolInfo list of GetProtocolInfo's Source.
extern const char source_protocols[];

// The device description: FRIENDLY_NAME is escaped and cut to 64 bytes
// (never inside a UTF-8 sequence); UUID must already be checked.
std::string device_description(const std::string &friendly_name, const std::string &uuid);

} // namespace dlna

#endif // NIMBUS_TOOLS_DLNA_DESCRIPTIONS_H
