#pragma once
// The merchant page's markup: escaping, the document every page sits in (the embedded style sheet, the
// navigation, the sign-out form) and the pages that are the same for every account. Plain HTML and CSS
// that an old shop PC's browser and a phone's both show; every text from outside passes escape().
#include <string>
#include <string_view>

namespace hub::page {

// The text with &, <, >, " and ' written as entities: safe inside elements and quoted attributes.
std::string escape(std::string_view text);

// What a signed-in page shows around its body.
struct Frame {
  std::string_view account;
  std::string_view csrf;
  std::string_view active;  // the path of the navigation entry to mark ("/", "/day", ...)
  bool live = false;        // the page keeps itself current (loads /page.js)
};
std::string framed(const Frame& frame, std::string_view title, std::string_view body);

// A form that posts to `action` with the session's token; `fields` is its inner markup.
std::string postForm(std::string_view action, std::string_view csrf, std::string_view fields, std::string_view button);

std::string signInPage(std::string_view account, std::string_view error);
// A refusal or failure with its reason and a way back.
std::string messagePage(std::string_view title, std::string_view reason);

// The script that keeps the day's page current, served as /page.js (ES5, no library).
extern const std::string_view kScript;

}  // namespace hub::page
