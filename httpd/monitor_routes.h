#pragma once
// The monitor's routes over what a run lends it: the option and status
// registries, the named data vectors and the iteration history.
//
//   GET  /                       302 to /index.html
//   GET  /option/NAME            one option
//   PUT  /option/NAME?value=V    set it (302 to /index.html)
//   POST /set-option             the same from a form (name, value)
//   GET  /options                every option that is not read-only
//   GET  /status                 every status entry
//   GET  /history                the whole history
//   GET  /history/update?last=I  long poll: the records after index I, or
//                                without I, the records not yet delivered
//   GET  /data/NAME              one data vector
//   GET  /data                   names and sizes of the data vectors
//   GET  /html|js|css|json|xml|txt/NAME, /get|file/NAME,
//        /index.html, /favicon.ico   static files of the document root
//   GET  /delay/MS               answers after MS milliseconds
//   POST /server-quit/MS         ends the listener after MS milliseconds
//
// Every answer but the static files and the redirects is JSON. The history
// and the data vectors are copied under run.mutex (see monitor_data.h) and
// written out without it.

#include "httpd/monitor_sources.h"

class HTTPServer;

// Enters the 15 routes in server.routes and installs the server's notify
// and followedEnd callbacks. The sources must outlive the server.
void registerMonitorRoutes(HTTPServer& server, const MonitorSources& sources);
