// Status texts, the built-in error pages and the built-in content-type table of the HTTP control.
#pragma once

#include <string>
#include <string_view>

namespace servala {

// Reason text for a status code ("404" -> "Not Found"); "Undefined Status Code" otherwise.
std::string GetStatusText(std::string_view code);
// The other direction ("Not Found" -> "404"); "299" for a reason not in the table.
std::string GetStatusCode(std::string_view reason);

// The built-in HTML pages for failed requests, keyed by status code text.
class cls_ErrorFiles {
 public:
  // The page for `code`; unknown keys give the "501" page.
  std::string GetErrorPage(std::string_view code) const;
};

// Assembles a page from its pieces the way every built-in error page is laid out.
std::string ComposeErrorPage(std::string_view title, std::string_view heading,
                             std::initializer_list<std::string_view> lines);

// The control's own extension table: the first row for `ext` (any case), or "" when it has none.
std::string BuiltInContentType(std::string_view ext);

}  // namespace servala
