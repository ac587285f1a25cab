// How a browser page embeds a package's first movie in Ruffle as the player
// embeds it in the control, shared by the start page a player carries for
// its user's browser and the one `pack serve` makes; and the browser runtime
// the packer puts into players.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "pack/package_writer.h"

namespace pack {

// Bytes of the first movie read for its stage size and background.
constexpr size_t kMovieHeadBytes = size_t(1) << 16;

struct MovieLook {
  int width = 550, height = 400;
  std::string background = "#ffffff";
};

// The nominal size when the package gives both, else the movie's stage
// (kept within 4096 pixels); the movie's background colour.
MovieLook movie_look(const std::string& head, uint32_t nominal_width, uint32_t nominal_height);

// The player's base URL for a page package: its Base when it has one, else
// the first movie's folder.
std::u16string movie_base_rule(const std::u16string& base, const std::u16string& first_url);

// Text as a JavaScript string literal that may sit inside an HTML script element.
std::string js_text(const std::string& utf8);

// The start page and service worker of a player that its user's browser
// plays, for this package and its first movie's look.
std::string browser_start_page(const Package& package, const MovieLook& look);
std::string browser_service_worker();

// What the packer carries after the package for the user's browser: the
// start page, the service worker and Ruffle. False when the first movie
// can't be read.
bool browser_runtime(const Package& package, BrowserRuntime* out, common::Error* error);

}  // namespace pack
