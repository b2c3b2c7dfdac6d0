// What the JUnit and fleet tests read their documents with: libxml2, a real
// parser, so a document that is not well-formed fails the test.
#pragma once
#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <string>
#include <vector>

struct XmlDoc {
    xmlDocPtr doc;
    std::string errors;  // the parser's complaints; empty for a well-formed document
};

// Strict XML 1.0: any error (a control character, bad UTF-8, a stray "]]>") is one.
inline XmlDoc ReadXml(const std::string& text) {
    XmlDoc result = {nullptr, ""};
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    result.doc = xmlCtxtReadMemory(context, text.data(), (int)text.size(), "test.xml", nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!context->wellFormed || !result.doc) {
        xmlErrorPtr error = xmlCtxtGetLastError(context);
        result.errors = error && error->message ? error->message : "not well-formed";
        if (error) result.errors += " at line " + std::to_string(error->line);
    }
    xmlFreeParserCtxt(context);
    return result;
}

// An HTML page as a tree (HTML is not XML: the parser's own recovery is allowed).
inline XmlDoc ReadHtml(const std::string& text) {
    XmlDoc result = {nullptr, ""};
    result.doc = htmlReadMemory(text.data(), (int)text.size(), "page.html", "UTF-8",
                                HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING);
    return result;
}

inline void FreeXml(XmlDoc* doc) {
    if (doc->doc) xmlFreeDoc(doc->doc);
    doc->doc = nullptr;
}

inline bool IsElement(const xmlNode* node, const char* name) {
    return node && node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// The child elements of that name.
inline std::vector<xmlNode*> Children(const xmlNode* parent, const char* name) {
    std::vector<xmlNode*> found;
    for (xmlNode* child = parent ? parent->children : nullptr; child; child = child->next)
        if (IsElement(child, name)) found.push_back(child);
    return found;
}

// Every element of that name below node, in document order.
inline void Descendants(xmlNode* node, const char* name, std::vector<xmlNode*>* found) {
    for (xmlNode* child = node ? node->children : nullptr; child; child = child->next) {
        if (IsElement(child, name)) found->push_back(child);
        Descendants(child, name, found);
    }
}
inline std::vector<xmlNode*> Descendants(xmlDocPtr doc, const char* name) {
    std::vector<xmlNode*> found;
    xmlNode* root = doc ? xmlDocGetRootElement(doc) : nullptr;
    if (IsElement(root, name)) found.push_back(root);
    Descendants(root, name, &found);
    return found;
}

inline bool HasAttr(const xmlNode* node, const char* name) { return xmlHasProp(node, BAD_CAST name) != nullptr; }

inline std::string Attr(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, BAD_CAST name);
    std::string text = value ? (const char*)value : "";
    xmlFree(value);
    return text;
}

inline long long NumberAttr(const xmlNode* node, const char* name) {
    std::string text = Attr(node, name);
    return text.empty() ? -1 : strtoll(text.c_str(), nullptr, 10);
}

inline std::string Content(const xmlNode* node) {
    xmlChar* value = xmlNodeGetContent(node);
    std::string text = value ? (const char*)value : "";
    xmlFree(value);
    return text;
}
