// A check of a SOAP request before GUPnP sees it. GUPnP 1.6.3 leaks the
// parsed document on every request whose action element it cannot find
// (answered 412): a client repeating such requests would grow the process
// without bound. Only envelopes whose action GUPnP will find reach it.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <string>

#include "soap.h"

namespace dlna {

namespace {

xmlNode *first_element(xmlNode *n) {
    while (n && n->type != XML_ELEMENT_NODE)
        n = n->next;
    return n;
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether TEXT starts with "utf-8" in any case.
bool utf8_name(const char *text) {
    const char *want = "utf-8";
    for (; *want; want++, text++)
        if (*text != *want && !(*want >= 'a' && *want <= 'z' && *text == *want - 'a' + 'A'))
            return false;
    return true;
}

bool named(const xmlNode *n, const char *name) {
    return n && std::strcmp(reinterpret_cast<const char *>(n->name), name) == 0;
}

// Every "encoding" in an XML declaration must be `encoding = "UTF-8"`.
bool declaration_utf8(const std::string &decl) {
    for (size_t at = decl.find("encoding"); at != std::string::npos;
         at = decl.find("encoding", at + 1)) {
        size_t i = at + 8;
        while (i < decl.size() && blank(decl[i]))
            i++;
        if (i >= decl.size() || decl[i++] != '=')
            return false;
        while (i < decl.size() && blank(decl[i]))
            i++;
        if (i + 7 > decl.size() || (decl[i] != '"' && decl[i] != '\'') ||
            !utf8_name(decl.c_str() + i + 1) || decl[i + 6] != decl[i])
            return false;
    }
    return true;
}

} // namespace

bool utf8_document(const char *body, size_t len) {
    if (len == 0 || std::memchr(body, 0, len))
        return false;
    std::string head(body, len < 512 ? len : 512);
    size_t at = head.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (at >= head.size() || (head[at] != '<' && !blank(head[at])))
        return false;
    if (head.compare(at, 5, "<?xml") != 0 || head.size() < at + 6 || !blank(head[at + 5]))
        return true;
    size_t end = head.find("?>", at);
    return end != std::string::npos && declaration_utf8(head.substr(at, end - at));
}

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

    // GUPnP parses the body as it is: it must read as UTF-8 alone.
    if (!utf8_document(body, len))
        return false;
    // No recovery, no network, no entity substitution; the body guard has
    // already refused any document type declaration, and the parsed
    // document must agree.
    xmlDoc *doc = xmlReadMemory(body, static_cast<int>(len), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return false;
    if (doc->intSubset || doc->extSubset ||
        (doc->encoding &&
         (!utf8_name(reinterpret_cast<const char *>(doc->encoding)) || doc->encoding[5] != 0))) {
        xmlFreeDoc(doc);
        return false;
    }
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
