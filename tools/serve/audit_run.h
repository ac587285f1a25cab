// pack audit --run: the texts that the movies hold merged with the requests
// that a preview run made.
#pragma once

#include <string>
#include <vector>

#include "pack/audit.h"
#include "serve/preview.h"

namespace serve {

struct MergedRequest {
  std::string url;
  bool in_movie = false;     // found in a movie or file of the package
  bool at_run_time = false;  // asked while the movie ran in Ruffle
  int32_t entry = -1;        // what answers it; -1 none
  bool opens_window = false; // the movie opens it in a new window: no miss
  std::string where;         // the first static find: "[0] Push in DoAction"
  // A window the movie opens but never asked for at run time is no miss.
  bool unanswered() const { return entry < 0 && !(opens_window && !at_run_time); }
};

struct MergedAudit {
  std::vector<MergedRequest> requests;  // run-time order, then the movies' finds, unanswered first
  int in_movie = 0, at_run_time = 0, both = 0, unanswered = 0;
};

MergedAudit merge_audit(const pack::AuditResult& audit, const PreviewOutcome& run);

std::string merged_text(const std::string& input, double seconds, const MergedAudit& m, const PreviewOutcome& run);
std::string merged_json(const std::string& input, double seconds, const MergedAudit& m, const PreviewOutcome& run);

}  // namespace serve
