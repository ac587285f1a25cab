// One run of a package in Ruffle: the package server, the browser for a
// number of seconds, and what the movie asked for.
#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "serve/package_server.h"

namespace serve {

struct PreviewOptions {
  double seconds = 10;
  int port = 0;
  std::string screenshot;
  std::string chromium;    // empty: $TESSIVO_CHROMIUM, else "chromium"
  std::string ruffle_dir;  // empty: $TESSIVO_RUFFLE_DIR, else the folder setup installs to
};

struct PreviewOutcome {
  std::vector<Served> requests;
  size_t unlisted = 0;
  size_t missed = 0;  // unanswered requests, the unlisted ones included
  std::vector<std::string> outside;  // the browser's own requests, refused
  double first_frame_ms = -1;
  bool screenshot_written = false;
  common::Error screenshot_error;  // no message: none
  std::string chromium_version;
  int width = 0, height = 0;
  std::string start_url;
};

// The Ruffle folder that options name or the defaults give; false with a
// message when ruffle.js is not there.
bool find_ruffle(const std::string& given, std::string* dir, common::Error* error);
// The browser to run: given, else $TESSIVO_CHROMIUM, else "chromium"; false
// (and why) when it is not there to run.
bool find_chromium(const std::string& given, std::string* program, common::Error* error);

// Runs the loaded package (the player state) in Ruffle. False with a
// message when the server or the browser could not run; interrupted()
// tells an interrupt apart.
bool run_preview(const pack::LoadedPlayer& input, const PreviewOptions& options, PreviewOutcome* out,
                 common::Error* error);

// False, saying why, when a run shows nothing of the movie (no request
// answered from the package, or no frame).
bool played(const PreviewOutcome& o, common::Error* why);

// The request list as text lines and as a JSON array.
std::string preview_requests_text(const PreviewOutcome& o);
std::string preview_requests_json(const PreviewOutcome& o);

}  // namespace serve
