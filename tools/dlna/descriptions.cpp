#include "descriptions.h"

#include "didl.h"

namespace dlna {

namespace {

#define ARG(name, dir, var)                                                                        \
    "<argument><name>" name "</name><direction>" dir "</direction>"                                \
    "<relatedStateVariable>" var "</relatedStateVariable></argument>"
#define VAR(events, name, type)                                                                    \
    "<stateVariable sendEvents=\"" events "\"><name>" name "</name><dataType>" type                \
    "</dataType></stateVariable>"
#define SCPD_HEAD                                                                                  \
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"                                                   \
    "<scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"                                            \
    "<specVersion><major>1</major><minor>0</minor></specVersion>"

} // namespace

const char content_directory_type[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
const char connection_manager_type[] = "urn:schemas-upnp-org:service:ConnectionManager:1";
const char registrar_type[] = "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1";

// clang-format off
const char content_directory_scpd[] = SCPD_HEAD
    "<actionList>"
    "<action><name>GetSearchCapabilities</name><argumentList>"
        ARG("SearchCaps", "out", "SearchCapabilities")
    "</argumentList></action>"
    "<action><name>GetSortCapabilities</name><argumentList>"
        ARG("SortCaps", "out", "SortCapabilities")
    "</argumentList></action>"
    "<action><name>GetSystemUpdateID</name><argumentList>"
        ARG("Id", "out", "SystemUpdateID")
    "</argumentList></action>"
    "<action><name>Browse</name><argumentList>"
        ARG("ObjectID", "in", "A_ARG_TYPE_ObjectID")
        ARG("BrowseFlag", "in", "A_ARG_TYPE_BrowseFlag")
        ARG("Filter", "in", "A_ARG_TYPE_Filter")
        ARG("StartingIndex", "in", "A_ARG_TYPE_Index")
        ARG("RequestedCount", "in", "A_ARG_TYPE_Count")
        ARG("SortCriteria", "in", "A_ARG_TYPE_SortCriteria")
        ARG("Result", "out", "A_ARG_TYPE_Result")
        ARG("NumberReturned", "out", "A_ARG_TYPE_Count")
        ARG("TotalMatches", "out", "A_ARG_TYPE_Count")
        ARG("UpdateID", "out", "A_ARG_TYPE_UpdateID")
    "</argumentList></action>"
    "<action><name>Search</name><argumentList>"
        ARG("ContainerID", "in", "A_ARG_TYPE_ObjectID")
        ARG("SearchCriteria", "in", "A_ARG_TYPE_SearchCriteria")
        ARG("Filter", "in", "A_ARG_TYPE_Filter")
        ARG("StartingIndex", "in", "A_ARG_TYPE_Index")
        ARG("RequestedCount", "in", "A_ARG_TYPE_Count")
        ARG("SortCriteria", "in", "A_ARG_TYPE_SortCriteria")
        ARG("Result", "out", "A_ARG_TYPE_Result")
        ARG("NumberReturned", "out", "A_ARG_TYPE_Count")
        ARG("TotalMatches", "out", "A_ARG_TYPE_Count")
        ARG("UpdateID", "out", "A_ARG_TYPE_UpdateID")
    "</argumentList></action>"
    // Samsung's extension: where its TVs find the audio, video and image
    // roots before they show the server at all.
    "<action><name>X_GetFeatureList</name><argumentList>"
        ARG("FeatureList", "out", "A_ARG_TYPE_Featurelist")
    "</argumentList></action>"
    "</actionList><serviceStateTable>"
    VAR("no", "A_ARG_TYPE_ObjectID", "string")
    VAR("no", "A_ARG_TYPE_Result", "string")
    "<stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_BrowseFlag</name>"
        "<dataType>string</dataType><allowedValueList>"
        "<allowedValue>BrowseMetadata</allowedValue>"
        "<allowedValue>BrowseDirectChildren</allowedValue>"
        "</allowedValueList></stateVariable>"
    VAR("no", "A_ARG_TYPE_Filter", "string")
    VAR("no", "A_ARG_TYPE_SortCriteria", "string")
    VAR("no", "A_ARG_TYPE_SearchCriteria", "string")
    VAR("no", "A_ARG_TYPE_Index", "ui4")
    VAR("no", "A_ARG_TYPE_Count", "ui4")
    VAR("no", "A_ARG_TYPE_UpdateID", "ui4")
    VAR("no", "SearchCapabilities", "string")
    VAR("no", "SortCapabilities", "string")
    VAR("yes", "SystemUpdateID", "ui4")
    VAR("yes", "ContainerUpdateIDs", "string")
    VAR("no", "A_ARG_TYPE_Featurelist", "string")
    "</serviceStateTable></scpd>";

const char connection_manager_scpd[] = SCPD_HEAD
    "<actionList>"
    "<action><name>GetProtocolInfo</name><argumentList>"
        ARG("Source", "out", "SourceProtocolInfo")
        ARG("Sink", "out", "SinkProtocolInfo")
    "</argumentList></action>"
    "<action><name>GetCurrentConnectionIDs</name><argumentList>"
        ARG("ConnectionIDs", "out", "CurrentConnectionIDs")
    "</argumentList></action>"
    "<action><name>GetCurrentConnectionInfo</name><argumentList>"
        ARG("ConnectionID", "in", "A_ARG_TYPE_ConnectionID")
        ARG("RcsID", "out", "A_ARG_TYPE_RcsID")
        ARG("AVTransportID", "out", "A_ARG_TYPE_AVTransportID")
        ARG("ProtocolInfo", "out", "A_ARG_TYPE_ProtocolInfo")
        ARG("PeerConnectionManager", "out", "A_ARG_TYPE_ConnectionManager")
        ARG("PeerConnectionID", "out", "A_ARG_TYPE_ConnectionID")
        ARG("Direction", "out", "A_ARG_TYPE_Direction")
        ARG("Status", "out", "A_ARG_TYPE_ConnectionStatus")
    "</argumentList></action>"
    "</actionList><serviceStateTable>"
    VAR("yes", "SourceProtocolInfo", "string")
    VAR("yes", "SinkProtocolInfo", "string")
    VAR("yes", "CurrentConnectionIDs", "string")
    "<stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_ConnectionStatus</name>"
        "<dataType>string</dataType><allowedValueList>"
        "<allowedValue>OK</allowedValue>"
        "<allowedValue>ContentFormatMismatch</allowedValue>"
        "<allowedValue>InsufficientBandwidth</allowedValue>"
        "<allowedValue>UnreliableChannel</allowedValue>"
        "<allowedValue>Unknown</allowedValue>"
        "</allowedValueList></stateVariable>"
    "<stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_Direction</name>"
        "<dataType>string</dataType><allowedValueList>"
        "<allowedValue>Input</allowedValue><allowedValue>Output</allowedValue>"
        "</allowedValueList></stateVariable>"
    VAR("no", "A_ARG_TYPE_ProtocolInfo", "string")
    VAR("no", "A_ARG_TYPE_ConnectionManager", "string")
    VAR("no", "A_ARG_TYPE_ConnectionID", "i4")
    VAR("no", "A_ARG_TYPE_AVTransportID", "i4")
    VAR("no", "A_ARG_TYPE_RcsID", "i4")
    "</serviceStateTable></scpd>";

// What Xbox consoles and Windows Media Player look for before they browse.
// Every device is taken as authorised and validated: who may browse at all
// is the allowed networks' business, checked in front of every service.
const char registrar_scpd[] = SCPD_HEAD
    "<actionList>"
    "<action><name>IsAuthorized</name><argumentList>"
        ARG("DeviceID", "in", "A_ARG_TYPE_DeviceID")
        ARG("Result", "out", "A_ARG_TYPE_Result")
    "</argumentList></action>"
    "<action><name>RegisterDevice</name><argumentList>"
        ARG("RegistrationReqMsg", "in", "A_ARG_TYPE_RegistrationReqMsg")
        ARG("RegistrationRespMsg", "out", "A_ARG_TYPE_RegistrationRespMsg")
    "</argumentList></action>"
    "<action><name>IsValidated</name><argumentList>"
        ARG("DeviceID", "in", "A_ARG_TYPE_DeviceID")
        ARG("Result", "out", "A_ARG_TYPE_Result")
    "</argumentList></action>"
    "</actionList><serviceStateTable>"
    VAR("no", "A_ARG_TYPE_DeviceID", "string")
    VAR("no", "A_ARG_TYPE_Result", "int")
    VAR("no", "A_ARG_TYPE_RegistrationReqMsg", "bin.base64")
    VAR("no", "A_ARG_TYPE_RegistrationRespMsg", "bin.base64")
    VAR("yes", "AuthorizationGrantedUpdateID", "ui4")
    VAR("yes", "AuthorizationDeniedUpdateID", "ui4")
    VAR("yes", "ValidationSucceededUpdateID", "ui4")
    VAR("yes", "ValidationRevokedUpdateID", "ui4")
    "</serviceStateTable></scpd>";
// clang-format on

const char source_protocols[] =
    "http-get:*:audio/mpeg:*,http-get:*:audio/flac:*,http-get:*:audio/x-flac:*,"
    "http-get:*:audio/mp4:*,http-get:*:audio/aac:*,http-get:*:audio/ogg:*,"
    "http-get:*:audio/opus:*,http-get:*:audio/wav:*,http-get:*:audio/x-wav:*,"
    "http-get:*:audio/x-ms-wma:*,http-get:*:video/mp4:*,http-get:*:video/x-matroska:*,"
    "http-get:*:video/webm:*,http-get:*:video/quicktime:*,http-get:*:video/x-msvideo:*,"
    "http-get:*:video/mpeg:*,http-get:*:video/mp2t:*,http-get:*:image/jpeg:*,"
    "http-get:*:image/png:*,http-get:*:image/gif:*,http-get:*:image/webp:*,"
    "http-get:*:image/heic:*,http-get:*:*:*";

const char feature_list[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                            "<Features xmlns=\"urn:schemas-upnp-org:av:avs\" "
                            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                            "xsi:schemaLocation=\"urn:schemas-upnp-org:av:avs "
                            "http://www.upnp.org/schemas/av/avs.xsd\">"
                            "<Feature name=\"samsung.com_BASICVIEW\" version=\"1\">"
                            "<container id=\"0\" type=\"object.item.audioItem\"/>"
                            "<container id=\"0\" type=\"object.item.videoItem\"/>"
                            "<container id=\"0\" type=\"object.item.imageItem\"/>"
                            "</Feature></Features>";

std::string device_description(const std::string &friendly_name, const std::string &uuid) {
    std::string name = friendly_name.substr(0, 64);
    // Do not end inside a UTF-8 sequence: drop a cut lead and its followers.
    if (name.size() < friendly_name.size()) {
        size_t end = name.size();
        size_t k = end;
        while (k > 0 && (static_cast<unsigned char>(name[k - 1]) & 0xC0) == 0x80)
            k--;
        if (k > 0 && static_cast<unsigned char>(name[k - 1]) >= 0xC0)
            name.resize(k - 1);
    }
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                      "<root xmlns=\"urn:schemas-upnp-org:device-1-0\" "
                      "xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">"
                      "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
                      "<deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>"
                      "<friendlyName>";
    xml_text(out, name);
    out += "</friendlyName><manufacturer>nimbus</manufacturer>"
           "<modelName>nimbus</modelName><modelDescription>OneDrive media gateway"
           "</modelDescription><UDN>uuid:";
    out += uuid;
    out += "</UDN><dlna:X_DLNADOC>DMS-1.50</dlna:X_DLNADOC><serviceList>"
           "<service><serviceType>";
    out += content_directory_type;
    out += "</serviceType><serviceId>urn:upnp-org:serviceId:ContentDirectory</serviceId>"
           "<SCPDURL>/ContentDirectory.xml</SCPDURL><controlURL>/control/ContentDirectory"
           "</controlURL><eventSubURL>/event/ContentDirectory</eventSubURL></service>"
           "<service><serviceType>";
    out += connection_manager_type;
    out += "</serviceType><serviceId>urn:upnp-org:serviceId:ConnectionManager</serviceId>"
           "<SCPDURL>/ConnectionManager.xml</SCPDURL><controlURL>/control/ConnectionManager"
           "</controlURL><eventSubURL>/event/ConnectionManager</eventSubURL></service>"
           "<service><serviceType>";
    out += registrar_type;
    out += "</serviceType><serviceId>urn:microsoft.com:serviceId:X_MS_MediaReceiverRegistrar"
           "</serviceId><SCPDURL>/X_MS_MediaReceiverRegistrar.xml</SCPDURL>"
           "<controlURL>/control/X_MS_MediaReceiverRegistrar</controlURL>"
           "<eventSubURL>/event/X_MS_MediaReceiverRegistrar</eventSubURL></service>"
           "</serviceList></device></root>";
    return out;
}

} // namespace dlna
