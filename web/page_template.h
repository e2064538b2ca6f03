// The page's templates: HTML files in which "{{name}}" is replaced by the
// value of name, HTML-escaped, and "{{&name}}" by a value taken as it is,
// for fragments that were built from escaped values. "{{#name}}...{{/name}}"
// keeps what it encloses when name has a value that is not empty,
// "{{^name}}...{{/name}}" when it has none; such parts do not nest within
// one of the same name. Nothing else is interpreted, so a template is
// plain HTML a designer may edit; a name without a value is left out.
#ifndef TARPON_WEB_PAGE_TEMPLATE_H_
#define TARPON_WEB_PAGE_TEMPLATE_H_

#include <map>
#include <string>

using TemplateValues = std::map<std::string, std::string>;

// & < > " ' as character references.
std::string EscapeHtml(const std::string& text);

std::string FillTemplate(const std::string& text, const TemplateValues& values);

#endif  // TARPON_WEB_PAGE_TEMPLATE_H_
