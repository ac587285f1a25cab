// Runs Debian's chromium headless against a package server, talking the
// DevTools protocol over a pipe: http goes through the server as a proxy,
// https requests are intercepted (Fetch) and answered by the server's code,
// every other host is unresolvable. Linux only.
#pragma once

#include <string>

#include "common/error.h"
#include "serve/package_server.h"

namespace serve {

struct BrowserRun {
  std::string chromium;    // program name or path
  int proxy_port = 0;
  std::string start_url;
  int width = 550, height = 400;
  double seconds = 10;
  std::string screenshot;  // PNG of the movie's area; empty: none
  PackageServer* server = nullptr;
};

struct BrowserResult {
  bool screenshot_written = false;
  bool interrupted = false;  // SIGINT or SIGTERM
  common::Error screenshot_error;  // why the screenshot was not written; no message: it was
  std::string chromium_version;
};

// Sets the handlers that make a run stop early on SIGINT and SIGTERM.
void catch_interrupts();
bool interrupted();

// Runs the browser for run.seconds, then takes the screenshot. Removes its
// profile (and those that killed runs left) and ends every process it
// started, whatever happens. False with a message when the browser could
// not be run; a screenshot that failed is no failure of the run.
bool run_browser(const BrowserRun& run, BrowserResult* out, common::Error* error);

}  // namespace serve
