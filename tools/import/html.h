// Finding the movie a captured page embeds, and joining URLs.
#pragma once

#include <cstdint>
#include <string>

#include "common/url.h"

namespace capture {

struct Embedding {
  std::string movie;       // as written in the page, entity-decoded
  std::string flash_vars;  // entity-decoded
  std::string base;
  uint32_t width = 0, height = 0;  // 0 when absent or not in pixels
};

// The first movie the page embeds through <object data>, <param name="movie">
// or <embed src>, with what the same object or embed says about it. False
// when the page embeds none.
bool find_embedding(const std::string& html, Embedding* out);

// HTML character references (named basics and numeric) replaced by UTF-8.
std::string decode_entities(const std::string& text);

// The packer's one URL join.
using common::join_url;

}  // namespace capture
