#include "httpd/cgi.h"

#include <algorithm>
#include <chrono>

#include "httpd/log_safe.h"

namespace {

constexpr std::size_t kExampleBytes = 60;   // of each kind's example in the summary
constexpr std::size_t kBudgetStride = 256;  // items between looks at the clock

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

CGI::CGI(const MyMap<std::string, std::string>& variables, Budget budget)
    : contentType(variables["CONTENT_TYPE"], true),
      contentTypeText(variables["CONTENT_TYPE"]),
      requestMethod(variables["REQUEST_METHOD"]),
      pathInfo(variables["PATH_INFO"]),
      variables_(variables),
      budget_(std::move(budget)) {
  if (contentType.illegalPieces > 0)
    ignore("illegal parameter to header value", contentType.firstIllegal,
           contentType.illegalPieces);
}

void CGI::ignore(const char* kind, std::string_view example, std::size_t count) {
  Ignored& entry = ignored_[kind];
  if (entry.count == 0) entry.example = logSafe(example, kExampleBytes);
  entry.count += count;
}

std::string CGI::ignoredSummary() const {
  if (ignored_.empty()) return std::string();
  std::string line = "CGI: ignored";
  const char* separator = " ";
  for (const auto& [kind, entry] : ignored_) {
    line += separator + std::to_string(entry.count) + " x " + kind + " (first: '" + entry.example +
            "')";
    separator = ", ";
  }
  return line;
}

void CGI::fail(int status, const char* message) {
  failed = true;
  failStatus = status;
  failMessage = message;
}

bool CGI::outOfBudget() {
  if (failed) return true;
  if (++work_ % kBudgetStride != 0) return false;
  if (budget_.stop.stop_requested() || std::chrono::steady_clock::now() >= budget_.deadline)
    fail(408, "Request Timeout");
  return failed;
}

bool CGI::validName(std::string_view name) const {
  return !name.empty() && name.size() <= kMaxLength &&
         name.find_first_not_of(nameChars) == std::string_view::npos;
}

bool CGI::validValue(std::string_view value) const {
  if (value.size() > kMaxLength) return false;
  for (const char c : value)
    if (nameChars.find(c) == std::string_view::npos &&
        valueExtraChars.find(c) == std::string_view::npos)
      return false;
  return true;
}

void CGI::insert(std::string_view name, std::string_view value) {
  if (!validName(name))
    return ignore("parameter with invalid name", urlencode(name.substr(0, kExampleBytes)));
  if (!validValue(value))
    return ignore("parameter with invalid value", urlencode(value.substr(0, kExampleBytes)));
  if (parameters.count(std::string(name))) return ignore("repeated parameter", name);
  if (parameters.size() >= kMaxParameters) return ignore("parameter past the limit", name);
  RFC822Message parameter;
  parameter.body.assign(value);
  parameters.emplace(std::string(name), std::move(parameter));
}

// An escape that is not "%" and two hexadecimal digits has its "%" dropped;
// decoding goes on with the next character.
std::string CGI::urldecode(std::string_view raw, bool& badEscape) const {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else if (const int hi = i + 2 < raw.size() ? hexDigit(raw[i + 1]) : -1,
               lo = i + 2 < raw.size() ? hexDigit(raw[i + 2]) : -1;
               hi < 0 || lo < 0) {
      badEscape = true;
    } else {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return out;
}

void CGI::parseQueryString(std::string_view text) {
  if (text.empty()) return;
  std::size_t items = 0;
  for (std::size_t pos = 0; pos <= text.size();) {
    if (items == kMaxItems) {
      const std::size_t rest = 1 + std::count(text.begin() + pos, text.end(), '&');
      return ignore("form item past the limit", text.substr(pos), rest);
    }
    if (outOfBudget()) return;
    ++items;
    std::size_t end = text.find('&', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = text.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      ignore("invalid param=value pair", item);
      continue;
    }
    const std::string_view raw = item.substr(eq + 1);
    // Each decoded byte takes at most three: a longer value cannot decode
    // into an acceptable one.
    if (raw.size() > 3 * kMaxLength) {
      ignore("parameter with invalid value", raw);
      continue;
    }
    bool badEscape = false;
    const std::string value = urldecode(raw, badEscape);
    if (badEscape) ignore("invalid url encoded string", raw);
    insert(item.substr(0, eq), value);
  }
}

void CGI::parsePostRequest() {
  const std::string& type = contentType.value;
  const bool form = type.empty() || type == "application/x-www-form-urlencoded";
  if (!form && type != "multipart/form-data") {
    ignore("form of a wrong content type", type);
    return fail(0, "");
  }
  const std::string& body = variables_["QUERY_DATA"];
  const std::string& data = body.empty() ? variables_["QUERY_STRING"] : body;
  if (data.empty()) return;
  if (form)
    parseQueryString(data);
  else
    parsePostDataMultipart(data, contentType);
}

// The pieces between delimiters, the preamble before the first skipped, are
// looked at one at a time: no list of them is ever built.
void CGI::parsePostDataMultipart(std::string_view body, const HeaderValue& type) {
  const auto boundary = type.attributes.find("boundary");
  if (boundary == type.attributes.end() || boundary->second.empty() ||
      boundary->second.size() > kMaxBoundary) {
    ignore("multipart form without a valid boundary",
           boundary == type.attributes.end() ? std::string_view() : boundary->second);
    return fail(400, "Invalid multipart boundary");
  }
  const std::string delimiter = "--" + boundary->second;
  std::size_t next = body.find(delimiter);
  for (long index = 1; next != std::string_view::npos; ++index) {
    if (static_cast<std::size_t>(index) > kMaxItems)
      return ignore("multipart part past the limit", "");
    if (outOfBudget()) return;
    const std::size_t start = next + delimiter.size();
    next = body.find(delimiter, start);
    const std::string_view piece =
        body.substr(start, next == std::string_view::npos ? next : next - start);
    if (piece.substr(0, 2) == "--") {
      if (next != std::string_view::npos) ignore("multipart part after the closing delimiter", "");
      return;
    }
    if (!takePart(piece)) return;
  }
}

bool CGI::takePart(std::string_view piece) {
  // The line breaks after the delimiter and before the next one.
  if (piece.size() < 4) return true;
  RFC822Message part(piece.substr(2, piece.size() - 4), true);
  if (part.illegalLines > 0)
    ignore("illegal header line in a part", part.firstIgnored, part.illegalLines);
  if (part.repeatedLines > 0)
    ignore("repeated header line in a part", part.firstIgnored, part.repeatedLines);
  const auto disposition = part.headers.find("content-disposition");
  const HeaderValue field(
      disposition == part.headers.end() ? std::string_view() : disposition->second, true);
  if (field.illegalPieces > 0)
    ignore("illegal parameter to header value", field.firstIllegal, field.illegalPieces);
  if (field.value != "form-data") {
    // The rest of the form is not read.
    ignore("part whose Content-Disposition is not form-data", field.value);
    return false;
  }
  const auto attr = [&field](const char* key) {
    const auto it = field.attributes.find(key);
    return it == field.attributes.end() ? std::string() : it->second;
  };
  const std::string name = attr("name");
  if (name.empty()) {
    ignore("part without a field name", "");
  } else if (!validName(name)) {
    ignore("part with an invalid field name", urlencode(name.substr(0, kExampleBytes)));
  } else if (attr("filename").empty() && !validValue(part.body)) {
    ignore("part with an invalid field value", urlencode(part.body.substr(0, kExampleBytes)));
  } else if (parameters.count(name)) {
    ignore("repeated parameter", name);
  } else if (parameters.size() >= kMaxParameters) {
    ignore("parameter past the limit", name);
  } else {
    parameters.emplace(name, std::move(part));
  }
  return true;
}

std::string CGI::urlencode(std::string_view text) {
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
