#include "httpd/cgi.h"

#include <cstdio>

#include "httpd/log_line.h"
#include "httpd/log_safe.h"
#include "httpd/split_string.h"

CGI::CGI(const MyMap<std::string, std::string>& variables)
    : contentType(variables["CONTENT_TYPE"], true),
      contentTypeText(variables["CONTENT_TYPE"]),
      requestMethod(variables["REQUEST_METHOD"]),
      pathInfo(variables["PATH_INFO"]),
      variables_(variables) {}

bool CGI::validName(const std::string& name) const {
  return !name.empty() && name.size() <= kMaxLength &&
         name.find_first_not_of(nameChars) == std::string::npos;
}

bool CGI::validValue(const std::string& value) const {
  if (value.size() > kMaxLength) return false;
  for (const char c : value)
    if (nameChars.find(c) == std::string_view::npos &&
        valueExtraChars.find(c) == std::string_view::npos)
      return false;
  return true;
}

void CGI::insert(const std::string& name, const std::string& value) {
  if (!validName(name)) {
    LogLine("") << "parameter with invalid name ignored: " << logSafe(urlencode(name));
    return;
  }
  if (!validValue(value)) {
    LogLine("") << "parameter with invalid value ignored: " << logSafe(urlencode(value));
    return;
  }
  RFC822Message parameter;
  parameter.body = value;
  parameters.emplace(name, std::move(parameter));
}

static int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An escape that is not "%" and two hexadecimal digits is logged and its "%"
// dropped; decoding goes on with the next character.
std::string CGI::urldecode(const std::string& raw) const {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else if (i + 2 >= raw.size()) {
      LogLine("") << "invalid url encoded string (too short): " << logSafe(raw);
    } else if (const int hi = hexDigit(raw[i + 1]), lo = hexDigit(raw[i + 2]); hi < 0 || lo < 0) {
      LogLine("") << "invalid url encoded string (invalid hex number): " << logSafe(raw);
    } else {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return out;
}

void CGI::parseQueryString(const std::string& text) {
  if (text.empty()) return;
  for (const std::string& item : splitString(text, "&")) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) {
      LogLine("") << "error: invalid param=value pair: " << logSafe(item);
      continue;
    }
    insert(item.substr(0, eq), urldecode(item.substr(eq + 1)));
  }
}

void CGI::parsePostRequest() {
  const std::string& type = contentType.value;
  const bool form = type.empty() || type == "application/x-www-form-urlencoded";
  if (!form && type != "multipart/form-data") {
    std::fprintf(stderr, "error: cgi: parsePostRequest: wrong contentType %s, request ignored\n",
                 logSafe(type).c_str());
    failed = true;
    return;
  }
  const std::string& body = variables_["QUERY_DATA"];
  const std::string& data = body.empty() ? variables_["QUERY_STRING"] : body;
  if (data.empty()) return;
  if (form)
    parseQueryString(data);
  else
    parsePostDataMultipart(data, contentType);
}

void CGI::parsePostDataMultipart(const std::string& body, const HeaderValue& type) {
  const auto boundary = type.attributes.find("boundary");
  const std::string delimiter =
      "--" + (boundary == type.attributes.end() ? std::string() : boundary->second);
  const std::vector<std::string> pieces = splitString(body, delimiter);
  const long count = static_cast<long>(pieces.size());
  for (long i = 1; i < count; ++i) {
    const std::string& piece = pieces[static_cast<std::size_t>(i)];
    if (piece.compare(0, 2, "--") == 0) {
      if (i != count - 1)
        std::fprintf(stderr,
                     "error: cgi: part starts with double hyphen --, but is not the last part "
                     "(%ld/%ld)!?\n",
                     i, count);
      return;
    }
    // The line breaks after the delimiter and before the next one.
    if (piece.size() < 4) continue;
    RFC822Message part(piece.substr(2, piece.size() - 4), true);
    const auto disposition = part.headers.find("content-disposition");
    const HeaderValue field(disposition == part.headers.end() ? std::string() : disposition->second,
                            true);
    if (field.value != "form-data") {
      std::fprintf(stderr,
                   "error: cgi: invalid value for Header Content-Disposition in field %ld: '%s' "
                   "(request ignored)\n",
                   i, logSafe(field.value).c_str());
      return;
    }
    const auto attr = [&field](const char* key) {
      const auto it = field.attributes.find(key);
      return it == field.attributes.end() ? std::string() : it->second;
    };
    const std::string name = attr("name");
    if (name.empty()) {
      std::fprintf(stderr,
                   "error: cgi: no field name in header content-disposition, or field name is "
                   "empty, field ignored\n");
      continue;
    }
    if (!validName(name)) {
      std::fprintf(stderr, "error: cgi: invalid field name '%s', field ignored\n",
                   logSafe(urlencode(name)).c_str());
      continue;
    }
    if (attr("filename").empty() && !validValue(part.body)) {
      std::fprintf(stderr, "error: cgi: invalid field value '%s', field ignored\n",
                   logSafe(urlencode(part.body)).c_str());
      continue;
    }
    parameters.emplace(name, std::move(part));
  }
}

std::string CGI::urlencode(const std::string& text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '*' || c == '-' || c == '.';
    if (plain) {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0xf];
    }
  }
  return out;
}
