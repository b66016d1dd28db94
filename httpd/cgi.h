#pragma once
// CGI-style parameters of one request: the query string, a url-encoded form
// body or a multipart/form-data body.
//
// Names are at most 99 characters of letters, digits, "_" and "-"; values
// (except uploaded files) at most 99 characters of those and blank, double
// quote, "?", ".", ",", "@", ":", "#" and "+". A parameter that breaks these
// rules is dropped and the request goes on; the first occurrence of a name
// wins.
//
// The work is bounded whatever the peer sends: at most kMaxItems pairs or
// parts are looked at and kMaxParameters kept, a value too long to decode
// into an acceptable one is not decoded, and the parse gives up (408) when
// its budget's deadline passes or its stop is requested. What was dropped is
// counted by kind for one summary line, never logged item by item.

#include <cstddef>
#include <map>
#include <stop_token>
#include <string>
#include <string_view>

#include "httpd/header_value.h"
#include "httpd/my_map.h"
#include "httpd/rfc822_message.h"
#include "httpd/steady_time.h"

class CGI {
 public:
  static constexpr std::size_t kMaxLength = 99;      // of a name or a value
  static constexpr std::size_t kMaxItems = 1000;     // pairs or parts looked at
  static constexpr std::size_t kMaxParameters = 32;  // parameters kept
  static constexpr std::size_t kMaxBoundary = 70;    // of a multipart boundary

  // When the parse must give up.
  struct Budget {
    SteadyTime deadline = SteadyTime::max();
    std::stop_token stop;
  };

  // A parameter's value is the body; a multipart part also keeps its headers.
  std::map<std::string, RFC822Message> parameters;
  HeaderValue contentType;  // "CONTENT_TYPE" with its attributes
  std::string contentTypeText;
  std::string requestMethod;
  std::string pathInfo;
  static constexpr std::string_view nameChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
  static constexpr std::string_view valueExtraChars = " \"?.,@:#+";  // beyond the name set
  // The request cannot be served: failStatus (0: the writer's 501) and
  // failMessage say why.
  bool failed = false;
  int failStatus = 0;
  std::string failMessage;

  // Reads "CONTENT_TYPE", "REQUEST_METHOD", "PATH_INFO" and, when parsing a
  // post, "QUERY_DATA" and "QUERY_STRING" of the variables, which must
  // outlive the CGI.
  CGI(const MyMap<std::string, std::string>& variables, Budget budget);
  explicit CGI(const MyMap<std::string, std::string>& variables) : CGI(variables, Budget()) {}

  // name=value pairs joined by "&"; values are url-decoded ("+" is a blank,
  // "%XX" a byte), names are not.
  void parseQueryString(std::string_view text);
  // The body (or the query string when the body is empty) as a form; a
  // content type other than none, url-encoded or multipart fails (501).
  void parsePostRequest();
  // A multipart boundary must be 1 to 70 characters (else 400).
  void parsePostDataMultipart(std::string_view body, const HeaderValue& type);
  void insert(std::string_view name, std::string_view value);
  static std::string urlencode(std::string_view text);

  // "" when nothing was dropped; else one line: each kind of drop with its
  // count and its first example.
  std::string ignoredSummary() const;

 private:
  struct Ignored {
    std::size_t count = 0;
    std::string example;
  };

  const MyMap<std::string, std::string>& variables_;
  Budget budget_;
  std::size_t work_ = 0;                    // items and parts looked at, for the budget checks
  std::map<std::string, Ignored> ignored_;  // by kind

  bool validName(std::string_view name) const;
  bool validValue(std::string_view value) const;
  std::string urldecode(std::string_view raw, bool& badEscape) const;
  void ignore(const char* kind, std::string_view example, std::size_t count = 1);
  // True (and failed, with 408) once the budget is spent; looks at the
  // clock every few items only.
  bool outOfBudget();
  void fail(int status, const char* message);
  // One part of a multipart form; false when the rest of the form is not
  // to be read.
  bool takePart(std::string_view piece);
};
