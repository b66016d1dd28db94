#pragma once
// CGI-style parameters of one request: the query string, a url-encoded form
// body or a multipart/form-data body.
//
// Names are at most 99 characters of letters, digits, "_" and "-"; values
// (except uploaded files) at most 99 characters of those and blank, double
// quote, "?", ".", ",", "@", ":", "#" and "+". A parameter that breaks
// these rules is logged and dropped and the request goes on; the first
// occurrence of a name wins.

#include <map>
#include <string>
#include <string_view>

#include "httpd/header_value.h"
#include "httpd/my_map.h"
#include "httpd/rfc822_message.h"

class CGI {
 public:
  static constexpr std::size_t kMaxLength = 99;

  // A parameter's value is the body; a multipart part also keeps its headers.
  std::map<std::string, RFC822Message> parameters;
  HeaderValue contentType;  // "CONTENT_TYPE" with its attributes
  std::string contentTypeText;
  std::string requestMethod;
  std::string pathInfo;
  // The character sets, shared by every request's CGI.
  static constexpr std::string_view nameChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
  static constexpr std::string_view valueExtraChars = " \"?.,@:#+";  // beyond the name set
  bool failed = false;

  // Reads "CONTENT_TYPE", "REQUEST_METHOD", "PATH_INFO" and, when parsing a
  // post, "QUERY_DATA" and "QUERY_STRING" of the variables, which must
  // outlive the CGI.
  explicit CGI(const MyMap<std::string, std::string>& variables);

  // name=value pairs joined by "&"; values are url-decoded ("+" is a blank,
  // "%XX" a byte), names are not.
  void parseQueryString(const std::string& text);
  // The body (or the query string when the body is empty) as a form; a
  // content type other than none, url-encoded or multipart sets `failed`.
  void parsePostRequest();
  void parsePostDataMultipart(const std::string& body, const HeaderValue& type);
  void insert(const std::string& name, const std::string& value);
  static std::string urlencode(const std::string& text);

 private:
  const MyMap<std::string, std::string>& variables_;

  bool validName(const std::string& name) const;
  bool validValue(const std::string& value) const;
  std::string urldecode(const std::string& raw) const;
};
