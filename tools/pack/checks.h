// What the player cannot serve (errors) and what it may not serve as the
// capture meant (warnings), found before anything is written.
#pragma once

#include <string>
#include <vector>

#include "pack/package_writer.h"

namespace pack {

struct Note {
  bool error = true;
  int32_t line = 0;    // manifest line; 0 for none
  int32_t entry = -1;  // numbered as `pack list` numbers them; -1 for none
  std::string text;
  std::string hint;    // empty for none
};

// Gives every entry without a content type the one its file's extension
// (else its URL's) tells, with a warning for each of the first ten and one
// for the rest.
void fill_content_types(Package* package, std::vector<Note>* notes);

// Appends what is wrong with the package to notes.
void check_manifest(const Package& package, std::vector<Note>* notes);

// "SOURCE:LINE: error: entry N: text" and an indented hint line.
std::string format_note(const std::string& source, const Note& note);

// True when data's first bytes are one of the SWF signatures (FWS, CWS, ZWS).
bool is_swf(const Data& data);
bool is_flv(const Data& data);

}  // namespace pack
