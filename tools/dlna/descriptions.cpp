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

const char content_directory_scpd[] = SCPD_HEAD
    "<actionList>"
    "<action><name>GetSearchCapabilities</name><argumentList>" ARG(
        "SearchCaps", "out",
        "SearchCapabilities") "</argumentList></action>"
                              "<action><name>GetSortCapabilities</name><argumentList>" ARG(
                                  "SortCaps", "out",
                                  "SortCapabilities") "</argumentList></action>"
                                                      "<action><name>GetSystemUpdateID</"
                                                      "name><argumentList>" ARG(
                                                          "Id", "out",
                                                          "SystemUpdateID") "</argumentList></"
                                                                            "action>"
                                                                            "<action><name>Browse</"
                                                                            "name><"
                                                                            "argumentList>" ARG(
                                                                                "ObjectID", "in",
                                                                                "A_ARG_TYPE_"
                                                                                "ObjectID") ARG("Br"
                                                                                                "ow"
                                                                                                "se"
                                                                                                "Fl"
                                                                                                "a"
                                                                                                "g",
                                                                                                "i"
                                                                                                "n",
                                                                                                "A_"
                                                                                                "AR"
                                                                                                "G_"
                                                                                                "TY"
                                                                                                "PE"
                                                                                                "_B"
                                                                                                "ro"
                                                                                                "ws"
                                                                                                "eF"
                                                                                                "la"
                                                                                                "g")
                                                                                ARG("Filter", "in", "A_ARG_TYPE_Filter") ARG(
                                                                                    "StartingIndex",
                                                                                    "in",
                                                                                    "A_ARG_TYPE_"
                                                                                    "Index") ARG("R"
                                                                                                 "e"
                                                                                                 "q"
                                                                                                 "u"
                                                                                                 "e"
                                                                                                 "s"
                                                                                                 "t"
                                                                                                 "e"
                                                                                                 "d"
                                                                                                 "C"
                                                                                                 "o"
                                                                                                 "u"
                                                                                                 "n"
                                                                                                 "t",
                                                                                                 "i"
                                                                                                 "n",
                                                                                                 "A"
                                                                                                 "_"
                                                                                                 "A"
                                                                                                 "R"
                                                                                                 "G"
                                                                                                 "_"
                                                                                                 "T"
                                                                                                 "Y"
                                                                                                 "P"
                                                                                                 "E"
                                                                                                 "_"
                                                                                                 "C"
                                                                                                 "o"
                                                                                                 "u"
                                                                                                 "n"
                                                                                                 "t") ARG("SortCriteria",
                                                                                                          "in",
                                                                                                          "A_ARG_TYPE_SortCriteria")
                                                                                    ARG("Result", "out", "A_ARG_TYPE_Result") ARG(
                                                                                        "NumberRetu"
                                                                                        "rned",
                                                                                        "out",
                                                                                        "A_ARG_"
                                                                                        "TYPE_"
                                                                                        "Count") ARG("TotalMatches",
                                                                                                     "out",
                                                                                                     "A_ARG_TYPE_Count")
                                                                                        ARG("Update"
                                                                                            "ID",
                                                                                            "out",
                                                                                            "A_ARG_"
                                                                                            "TYPE_"
                                                                                            "Update"
                                                                                            "ID") "</argumentList></action></actionList><serviceStateTable>" VAR("no",
                                                                                                                                                                 "A_ARG_TYPE_ObjectID",
                                                                                                                                                                 "string")
                                                                                            VAR("n"
                                                                                                "o",
                                                                                                "A_"
                                                                                                "AR"
                                                                                                "G_"
                                                                                                "TY"
                                                                                                "PE"
                                                                                                "_R"
                                                                                                "es"
                                                                                                "ul"
                                                                                                "t",
                                                                                                "st"
                                                                                                "ri"
                                                                                                "n"
                                                                                                "g") "<stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_BrowseFlag</name><dataType>string</"
                                                                                                     "dataType><allowedValueList><allowedValue>BrowseMetadata</"
                                                                                                     "allowedValue><allowedValue>BrowseDirectChildren</allowedValue></allowedValueList></"
                                                                                                     "stateVariable>" VAR(
                                                                                                         "no",
                                                                                                         "A_ARG_TYPE_Filter",
                                                                                                         "string") VAR("no", "A_ARG_TYPE_SortCriteria",
                                                                                                                       "string")
                                                                                                         VAR("no",
                                                                                                             "A_ARG_TYPE_Index",
                                                                                                             "ui4") VAR("no",
                                                                                                                        "A_ARG_TYPE_Count",
                                                                                                                        "ui4")
                                                                                                             VAR("no",
                                                                                                                 "A_ARG_TYPE_UpdateID",
                                                                                                                 "ui4") VAR("no",
                                                                                                                            "SearchCapabilities",
                                                                                                                            "string")
                                                                                                                 VAR("no",
                                                                                                                     "SortCapabilities",
                                                                                                                     "string")
                                                                                                                     VAR("yes",
                                                                                                                         "SystemUpdateID",
                                                                                                                         "ui4")
                                                                                                                         VAR("yes",
                                                                                                                             "ContainerUpdateIDs",
                                                                                                                             "string") "</serviceStateTable></scpd>";

const char connection_manager_scpd[] = SCPD_HEAD
    "<actionList>"
    "<action><name>GetProtocolInfo</name><argumentList>" ARG("Source", "out", "SourceProtocolInfo") ARG(
        "Sink", "out",
        "SinkProtocolInfo") "</argumentList></action>"
                            "<action><name>GetCurrentConnectionIDs</name><argumentList>" ARG(
                                "ConnectionIDs", "out",
                                "CurrentConnectionIDs") "</argumentList></action>"
                                                        "<action><name>GetCurrentConnectionInfo</"
                                                        "name><argumentList>" ARG(
                                                            "ConnectionID", "in",
                                                            "A_ARG_TYPE_ConnectionID") ARG("RcsID",
                                                                                           "out",
                                                                                           "A_ARG_"
                                                                                           "TYPE_"
                                                                                           "RcsID")
                                                            ARG("AVTransportID", "out",
                                                                "A_ARG_TYPE_AVTransportID") ARG("Pr"
                                                                                                "ot"
                                                                                                "oc"
                                                                                                "ol"
                                                                                                "In"
                                                                                                "f"
                                                                                                "o",
                                                                                                "ou"
                                                                                                "t",
                                                                                                "A_"
                                                                                                "AR"
                                                                                                "G_"
                                                                                                "TY"
                                                                                                "PE"
                                                                                                "_P"
                                                                                                "ro"
                                                                                                "to"
                                                                                                "co"
                                                                                                "lI"
                                                                                                "nf"
                                                                                                "o")
                                                                ARG("Pee"
                                                                    "rCo"
                                                                    "nne"
                                                                    "cti"
                                                                    "onM"
                                                                    "ana"
                                                                    "ge"
                                                                    "r",
                                                                    "ou"
                                                                    "t",
                                                                    "A_"
                                                                    "ARG"
                                                                    "_TY"
                                                                    "PE_"
                                                                    "Con"
                                                                    "nec"
                                                                    "tio"
                                                                    "nMa"
                                                                    "nag"
                                                                    "er") ARG("PeerConnect"
                                                                              "ionID",
                                                                              "out",
                                                                              "A_ARG_TYPE_"
                                                                              "ConnectionI"
                                                                              "D") ARG("Di"
                                                                                       "re"
                                                                                       "ct"
                                                                                       "io"
                                                                                       "n",
                                                                                       "ou"
                                                                                       "t",
                                                                                       "A_"
                                                                                       "AR"
                                                                                       "G_"
                                                                                       "TY"
                                                                                       "PE"
                                                                                       "_D"
                                                                                       "ir"
                                                                                       "ec"
                                                                                       "ti"
                                                                                       "o"
                                                                                       "n")
                                                                    ARG("Status", "out", "A_ARG_TYPE_ConnectionStatus") "</argumentList></action></actionList><serviceStateTable>" VAR(
                                                                        "yes",
                                                                        "SourceProtocolInfo",
                                                                        "string") VAR("yes",
                                                                                      "SinkProtocol"
                                                                                      "Info",
                                                                                      "string")
                                                                        VAR("yes",
                                                                            "CurrentConnectionIDs",
                                                                            "string") "<stateVariab"
                                                                                      "le "
                                                                                      "sendEvents="
                                                                                      "\"no\"><"
                                                                                      "name>A_ARG_"
                                                                                      "TYPE_"
                                                                                      "ConnectionSt"
                                                                                      "atus</"
                                                                                      "name><"
                                                                                      "dataType>"
                                                                                      "string</"
                                                                                      "dataType><"
                                                                                      "allowedValue"
                                                                                      "List><"
                                                                                      "allowedValue"
                                                                                      ">OK</"
                                                                                      "allowedValue"
                                                                                      "><"
                                                                                      "allowedValue"
                                                                                      ">ContentForm"
                                                                                      "atMismatch</"
                                                                                      "allowedValue"
                                                                                      "><"
                                                                                      "allowedValue"
                                                                                      ">Insufficien"
                                                                                      "tBandwidth</"
                                                                                      "allowedValue"
                                                                                      "><"
                                                                                      "allowedValue"
                                                                                      ">UnreliableC"
                                                                                      "hannel<"
                                                                                      "/allowedValu"
                                                                                      "e><"
                                                                                      "allowedValue"
                                                                                      ">Unknown</"
                                                                                      "allowedValue"
                                                                                      "></"
                                                                                      "allowedValue"
                                                                                      "List></"
                                                                                      "stateVariabl"
                                                                                      "e>"
                                                                                      "<stateVariab"
                                                                                      "le "
                                                                                      "sendEvents="
                                                                                      "\"no\"><"
                                                                                      "name>A_ARG_"
                                                                                      "TYPE_"
                                                                                      "Direction</"
                                                                                      "name><"
                                                                                      "dataType>"
                                                                                      "string</"
                                                                                      "dataType><"
                                                                                      "allowedValue"
                                                                                      "List><"
                                                                                      "allowedValue"
                                                                                      ">Input</"
                                                                                      "allowedValue"
                                                                                      "><"
                                                                                      "allowedValue"
                                                                                      ">Output</"
                                                                                      "allowedValue"
                                                                                      "></"
                                                                                      "allowedValue"
                                                                                      "List></"
                                                                                      "stateVariabl"
                                                                                      "e>" VAR(
                                                                                          "no",
                                                                                          "A_ARG_"
                                                                                          "TYPE_"
                                                                                          "Protocol"
                                                                                          "Info",
                                                                                          "string")
                                                                                          VAR("no",
                                                                                              "A_"
                                                                                              "ARG_"
                                                                                              "TYPE"
                                                                                              "_Con"
                                                                                              "nect"
                                                                                              "ionM"
                                                                                              "anag"
                                                                                              "er",
                                                                                              "stri"
                                                                                              "ng") VAR("no", "A_ARG_TYPE_ConnectionID",
                                                                                                        "i4")
                                                                                              VAR("no",
                                                                                                  "A_"
                                                                                                  "ARG_"
                                                                                                  "TYPE"
                                                                                                  "_AVT"
                                                                                                  "rans"
                                                                                                  "port"
                                                                                                  "ID",
                                                                                                  "i4")
                                                                                                  VAR("no",
                                                                                                      "A_ARG_TYPE_RcsID",
                                                                                                      "i4") "</serviceStateTable></scpd>";

const char source_protocols[] =
    "http-get:*:audio/mpeg:*,http-get:*:audio/flac:*,http-get:*:audio/x-flac:*,"
    "http-get:*:audio/mp4:*,http-get:*:audio/aac:*,http-get:*:audio/ogg:*,"
    "http-get:*:audio/opus:*,http-get:*:audio/wav:*,http-get:*:audio/x-wav:*,"
    "http-get:*:audio/x-ms-wma:*,http-get:*:video/mp4:*,http-get:*:video/x-matroska:*,"
    "http-get:*:video/webm:*,http-get:*:video/quicktime:*,http-get:*:video/x-msvideo:*,"
    "http-get:*:video/mpeg:*,http-get:*:video/mp2t:*,http-get:*:image/jpeg:*,"
    "http-get:*:image/png:*,http-get:*:image/gif:*,http-get:*:image/webp:*,"
    "http-get:*:image/heic:*,http-get:*:*:*";

std::string device_description(const std::string &friendly_name, const std::string &uuid) {
    std::string name = friendly_name.substr(0, 63);
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
           "</serviceList></device></root>";
    return out;
}

} // namespace dlna
