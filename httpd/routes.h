#pragma once
// Endpoints and the route table that picks one for a request.
//
// A route is a method and an ECMAScript pattern that must match the whole
// path; the pattern is compiled once, when the route is added. Routes are
// tried in byte order of (method, pattern). The match's sub-matches become
// request parameters under the endpoint's capture names (index 0 is the
// whole match), or "pm<i>" past the end of the names.

#include <map>
#include <memory>
#include <regex>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "httpd/request_info.h"

// What the server checks and reads for an endpoint before it runs.
struct EndpointTraits {
  bool changesRun = false;  // sets options or ends the server: callers on this machine only
  bool takesForm = false;   // the body of a POST is read and parsed as a form
  // Its clients follow something (the history): each asks again right after
  // an answer, so a stop gives such a client a moment to do so.
  bool followed = false;
};

class HTTPEndPoint {
 public:
  std::vector<std::string> captureNames;
  EndpointTraits traits;

  explicit HTTPEndPoint(std::vector<std::string> names, EndpointTraits t = {})
      : captureNames(std::move(names)), traits(t) {}
  virtual ~HTTPEndPoint() = default;
  HTTPEndPoint(const HTTPEndPoint&) = delete;
  HTTPEndPoint& operator=(const HTTPEndPoint&) = delete;

  // 0 on success; non-zero on failure, with status and message in the
  // response.
  virtual int operator()(std::stop_token stop, const RequestInfo& request,
                         ResponseInfo& response) = 0;
};

// An endpoint that answers at once; the stop token is not passed on.
template <class L>
class HTTPEndPointFunction final : public HTTPEndPoint {
 public:
  HTTPEndPointFunction(std::vector<std::string> names, L fn, EndpointTraits t = {})
      : HTTPEndPoint(std::move(names), t), fn_(std::move(fn)) {}
  int operator()(std::stop_token, const RequestInfo& request, ResponseInfo& response) override {
    return fn_(request, response);
  }

 private:
  L fn_;
};

// An endpoint that may ask to wait; fn takes the stop token first.
template <class L>
class HTTPEndPointFunctionStoppable final : public HTTPEndPoint {
 public:
  HTTPEndPointFunctionStoppable(std::vector<std::string> names, L fn, EndpointTraits t = {})
      : HTTPEndPoint(std::move(names), t), fn_(std::move(fn)) {}
  int operator()(std::stop_token stop, const RequestInfo& request,
                 ResponseInfo& response) override {
    return fn_(std::move(stop), request, response);
  }

 private:
  L fn_;
};

template <class L>
std::unique_ptr<HTTPEndPoint> makeEndPoint(std::vector<std::string> names, L fn,
                                           EndpointTraits traits = {}) {
  return std::make_unique<HTTPEndPointFunction<L>>(std::move(names), std::move(fn), traits);
}
template <class L>
std::unique_ptr<HTTPEndPoint> makeStoppableEndPoint(std::vector<std::string> names, L fn,
                                                    EndpointTraits traits = {}) {
  return std::make_unique<HTTPEndPointFunctionStoppable<L>>(std::move(names), std::move(fn),
                                                            traits);
}

struct Route {
  std::regex pattern;
  std::unique_ptr<HTTPEndPoint> endpoint;
};

class RouteTable {
 public:
  // Throws std::regex_error for a pattern that does not compile. A second
  // endpoint for the same method and pattern replaces the first.
  void add(const std::string& method, const std::string& pattern,
           std::unique_ptr<HTTPEndPoint> endpoint);

  // The first route of this method whose pattern matches the whole path,
  // with its captures stored in request.parameters (overwriting CGI
  // parameters of the same names); null when none matches.
  HTTPEndPoint* match(RequestInfo& request) const;

  void clear() { routes_.clear(); }
  std::size_t size() const { return routes_.size(); }

 private:
  std::map<std::pair<std::string, std::string>, Route> routes_;
};
