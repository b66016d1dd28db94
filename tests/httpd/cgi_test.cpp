#include <map>
#include <string>

#include <gtest/gtest.h>

#include "httpd/cgi.h"

namespace {

using Params = std::map<std::string, std::string>;

const char* const kMultipart =
    "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XyZ\r\n"
    "Content-Disposition: form-data; name=\"b\"\r\nContent-Type: text/plain\r\n\r\n"
    "hello world\r\n--XyZ--\r\n";

TEST(Cgi, ParametersOfQueriesAndForms) {
  const struct {
    const char* method;
    std::string query;
    const char* contentType;
    std::string body;
    Params expected;
    bool failed;
  } cases[] = {
      {"GET", "a=1&b=x%41+y", "", "", {{"a", "1"}, {"b", "xA y"}}, false},
      {"GET", "a=1&a=2", "", "", {{"a", "1"}}, false},
      {"GET", "v=" + std::string(100, 'v') + "&w=" + std::string(99, 'w'), "", "",
       {{"w", std::string(99, 'w')}}, false},
      {"GET", "lt=a%3Cb&ok=a&noeq&=5&e=", "", "", {{"ok", "a"}, {"e", ""}}, false},
      {"GET", "t=x%4&h=%zz1", "", "", {{"t", "x4"}, {"h", "zz1"}}, false},
      {"POST", "ignored=1", "application/x-www-form-urlencoded", "name=c1&value=2",
       {{"name", "c1"}, {"value", "2"}}, false},
      {"POST", "q=1", "", "", {{"q", "1"}}, false},
      {"POST", "", "multipart/form-data; charset=utf-8; boundary=\"XyZ\"", kMultipart,
       {{"a", "1"}, {"b", "hello world"}}, false},
      {"POST", "", "text/plain", "a=1", {}, true},
  };
  for (const auto& c : cases) {
    const MyMap<std::string, std::string> variables{
        {"REQUEST_METHOD", c.method}, {"QUERY_STRING", c.query},
        {"CONTENT_TYPE", c.contentType}, {"QUERY_DATA", c.body}};
    CGI cgi(variables);
    std::string(c.method) == "POST" ? cgi.parsePostRequest() : cgi.parseQueryString(c.query);
    Params got;
    for (const auto& [name, part] : cgi.parameters) got[name] = part.body;
    EXPECT_EQ(got, c.expected) << c.query << " " << c.body;
    EXPECT_EQ(cgi.failed, c.failed) << c.query;
  }
}

}  // namespace
