// A check of a SOAP request before GUPnP sees it. GUPnP 1.6.3 leaks the
// parsed document on every request whose action element it cannot find
// (answered 412): a client repeating such requests would grow the process
// without bound. Only envelopes whose action GUPnP will find reach it.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>

#include "soap.h"

namespace dlna {

namespace {

xmlNode *first_element(xmlNode *n) {
    while (n && n->type != XML_ELEMENT_NODE)
        n = n->next;
    return n;
}

bool named(const xmlNode *n, const char *name) {
    return n && std::strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

} // namespace

bool envelope_ok(const char *body, size_t len, const char *soap_action) {
    // "urn:schemas-upnp-org:service:ContentDirectory:1#Browse", quoted or not.
    if (!soap_action || len == 0 || len > max_body)
        return false;
    std::string header(soap_action);
    if (header.size() >= 2 && header.front() == '"' && header.back() == '"')
        header = header.substr(1, header.size() - 2);
    size_t hash = header.find('#');
    if (hash == std::string::npos || hash == 0 || hash + 1 == header.size() ||
        header.find_first_of("\"# \t", hash + 1) != std::string::npos)
        return false;
    std::string action = header.substr(hash + 1);

    // No recovery, no network, no entity substitution; the body guard has
    // already refused any document type declaration.
    xmlDoc *doc = xmlReadMemory(body, static_cast<int>(len), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return false;
    xmlNode *env = first_element(xmlDocGetRootElement(doc));
    xmlNode *soap_body = env && named(env, "Envelope") ? first_element(env->children) : nullptr;
    while (soap_body && !named(soap_body, "Body"))
        soap_body = first_element(soap_body->next);
    xmlNode *call = soap_body ? first_element(soap_body->children) : nullptr;
    bool ok = named(call, action.c_str());
    xmlFreeDoc(doc);
    return ok;
}

} // namespace dlna
