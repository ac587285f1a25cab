#include "pack/checks.h"

#include <cstdlib>
#include <unordered_map>

#include "base/text.h"
#include "common/file.h"
#include "common/utf.h"
#include "package/player_state.h"
#include "pack/content_type.h"
#include "resolve/url_text.h"

namespace pack {

using common::utf16_to_utf8;
using common::utf8_to_utf16;

namespace {

bool head(const Data& d, uint8_t* out, size_t n) {
  if (d.path.empty()) {
    if (d.bytes.size() < n) return false;
    std::copy(d.bytes.begin(), d.bytes.begin() + std::ptrdiff_t(n), out);
    return true;
  }
  common::File f = common::open_file(d.path, "rb");
  return f && std::fread(out, 1, n, f.get()) == n;
}

// As the player folds: ASCII letters only.
std::u16string fold(std::u16string s) {
  for (char16_t& c : s) c = text::fold(c);
  return s;
}

bool is_base64(const std::string& s) {
  if (s.size() % 4 != 0) return false;
  size_t fill = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '/';
    if (c == '=' && i + 2 >= s.size()) {
      ++fill;
    } else if (!letter || fill) {
      return false;
    }
  }
  return true;
}

bool has_scheme(const std::u16string& url) { return url_scheme_length(url.c_str()) >= 0; }

Note note(bool error, int32_t line, int32_t entry, std::string text, std::string hint = "") {
  Note n;
  n.error = error;
  n.line = line;
  n.entry = entry;
  n.text = std::move(text);
  n.hint = std::move(hint);
  return n;
}

int32_t or_line(int32_t a, int32_t b) { return a ? a : b; }

struct Seen {
  int32_t entry;
  int32_t line;
  std::string key;  // folded
  const std::u16string* text;
};

void check_size(const Package& pkg, std::vector<Note>* notes) {
  for (const auto& [value, line, field] :
       {std::make_tuple(pkg.width, pkg.width_line, "width"),
        std::make_tuple(pkg.height, pkg.height_line, "height")})
    if (value > kMaxNominalSize)
      notes->push_back(note(true, line, -1,
                            std::string("\"") + field + "\" is " + std::to_string(value) +
                                "; the player's window takes at most " + std::to_string(kMaxNominalSize) + " pixels",
                            "give the movie's own size in pixels, or 0 for none"));
}

void check_video(const Package& pkg, std::vector<Note>* notes) {
  const struct {
    const Data* data;
    const char* what;
    bool flv;
  } slots[] = {{&pkg.player, "the video player movie", false},
               {&pkg.skin, "the skin movie", false},
               {&pkg.video, "the video", true}};
  for (const auto& s : slots) {
    if (s.flv ? is_flv(*s.data) : is_swf(*s.data)) continue;
    notes->push_back(note(true, s.data->line, -1,
                          std::string(s.what) + " is not " + (s.flv ? "an FLV file" : "a SWF file") +
                              " (its first bytes are not " + (s.flv ? "FLV" : "FWS, CWS or ZWS") + ")",
                          s.flv ? "the video slot takes an FLV file; convert other formats first"
                                : "check that the file is the movie itself, not an HTML page or an error "
                                  "document saved in its place"));
  }
}

// One entry's own faults.
void check_entry(const Package& pkg, size_t i, std::vector<Note>* notes) {
  const PageEntry& e = pkg.entries[i];
  const int32_t n = int32_t(i);
  const bool keyed = pkg.mode == PLAYBACK_PAGE_POST;
  const int32_t url_line = or_line(e.url_line, e.line);
  if (i == 0 && !is_swf(e.data))
    notes->push_back(note(true, or_line(e.data.line, e.line), n,
                          "the first movie is not a SWF file (its first bytes are not FWS, CWS or ZWS)",
                          "the first entry must be the movie the player starts with"));
  if (e.url.empty())
    notes->push_back(note(true, url_line, n, "the URL is empty; the player refuses empty URLs",
                          "give the URL the movie asked for"));
  else if (!has_scheme(e.url))
    notes->push_back(note(false, url_line, n,
                          "the URL \"" + utf16_to_utf8(e.url) + "\" has no scheme (http:, https: or file:)",
                          keyed ? "the player joins relative requests to the base URL before looking "
                                  "them up; store the full URL"
                                : "the player looks up requests as written; store the full URL the movie asked for"));
  if (!e.alternate_url.empty() && !has_scheme(e.alternate_url))
    notes->push_back(note(false, or_line(e.alternate_url_line, e.line), n,
                          "the alternate URL \"" + utf16_to_utf8(e.alternate_url) + "\" has no scheme",
                          "store the full URL"));
  if (!e.post_key.empty() && !is_base64(e.post_key))
    notes->push_back(note(true, or_line(e.post_line, e.line), n,
                          "post_key \"" + e.post_key + "\" is not base64",
                          "give the body itself with post_body or post_body_file"));
  if (!e.post_key.empty() && pkg.mode == PLAYBACK_PAGE)
    notes->push_back(note(false, or_line(e.post_line, e.line), n,
                          "a POST body in mode \"page\", where the player ignores it",
                          "use mode = \"page-post\" for captures whose answers depend on the POST body"));
}

using SeenUrls = std::unordered_map<std::u16string, std::vector<Seen>>;

// An entry that an earlier one hides from the player.
void check_shadowed(const Package& pkg, size_t i, SeenUrls* seen, std::vector<Note>* notes) {
  const PageEntry& e = pkg.entries[i];
  const int32_t n = int32_t(i);
  const bool keyed = pkg.mode == PLAYBACK_PAGE_POST;
  const int32_t url_line = or_line(e.url_line, e.line);
  // The player finds the first entry whose URL or alternate URL equals the
  // request, ignoring letter case (in page-post the POST key first, as
  // written before folded), so a later entry with the same text and key is
  // never served for it; keys that differ in letter case alone each find
  // their own entry. Only page-post's best match compares URL letter case,
  // and may still reach a later entry that differs in case alone.
  const std::string key = keyed ? e.post_key : std::string();
  const std::pair<const std::u16string*, int32_t> urls[] = {
      {&e.url, url_line}, {&e.alternate_url, or_line(e.alternate_url_line, e.line)}};
  for (int u = 0; u < 2; ++u) {
    const std::u16string& text = *urls[u].first;
    if (text.empty() || (u == 1 && fold(text) == fold(e.url))) continue;
    std::vector<Seen>& earlier = (*seen)[fold(text)];
    for (const Seen& s : earlier) {
      if (s.entry == n || (!key.empty() && s.key != key)) continue;
      const bool reachable = keyed && *s.text != text;
      notes->push_back(note(
          !reachable, urls[u].second, n,
          std::string(u ? "the alternate URL" : "the URL") + " \"" + utf16_to_utf8(text) +
              "\" is already served by entry " + std::to_string(s.entry) +
              (s.line ? " (line " + std::to_string(s.line) + ")" : "") +
              "; the player compares URLs ignoring letter case, so this entry " +
              (reachable ? "is found only by a best match for other URLs" : "is never served for it"),
          keyed ? "remove one, or give them different POST bodies" : "remove one of the two entries"));
      break;
    }
    earlier.push_back({n, urls[u].second, key, &text});
  }
}

}  // namespace

bool is_swf(const Data& data) {
  uint8_t b[3];
  return head(data, b, 3) && (b[0] == 'F' || b[0] == 'C' || b[0] == 'Z') && b[1] == 'W' &&
         b[2] == 'S';
}

bool is_flv(const Data& data) {
  uint8_t b[3];
  return head(data, b, 3) && b[0] == 'F' && b[1] == 'L' && b[2] == 'V';
}

void fill_content_types(Package* pkg, std::vector<Note>* notes) {
  if (pkg->mode == PLAYBACK_VIDEO) return;
  // A capture without types would bury every other message under one line per entry.
  const size_t shown = 10;
  size_t filled = 0;
  for (size_t i = 0; i < pkg->entries.size(); ++i) {
    PageEntry& e = pkg->entries[i];
    if (e.content_type_given) continue;
    std::string name = e.data.path.empty() ? utf16_to_utf8(e.url) : e.data.path;
    const char* type = content_type_for_name(name);
    if (!type) continue;
    utf8_to_utf16(type, &e.content_type);
    e.content_type_given = true;
    if (++filled > shown) continue;
    notes->push_back(note(false, or_line(e.data.line, e.line), int32_t(i),
                          std::string("no content type given; using ") + type + " from the extension ." +
                              extension_of(name),
                          std::string("write content_type = \"") + type +
                              "\" to say so, or content_type = \"\" for none"));
  }
  if (filled > shown)
    notes->push_back(note(false, 0, -1,
                          std::to_string(filled - shown) +
                              " more entries without a content type took theirs from the extension",
                          "`pack list` shows every entry's type"));
}

void check_manifest(const Package& pkg, std::vector<Note>* notes) {
  check_size(pkg, notes);
  if (pkg.mode == PLAYBACK_VIDEO) {
    check_video(pkg, notes);
    return;
  }
  SeenUrls seen;
  for (size_t i = 0; i < pkg.entries.size(); ++i) {
    check_entry(pkg, i, notes);
    check_shadowed(pkg, i, &seen, notes);
  }
}

std::string format_note(const std::string& source, const Note& n) {
  std::string s = source;
  if (n.line > 0) s += ":" + std::to_string(n.line);
  s += n.error ? ": error: " : ": warning: ";
  if (n.entry >= 0) s += "entry " + std::to_string(n.entry) + ": ";
  s += n.text + "\n";
  if (!n.hint.empty()) s += "  hint: " + n.hint + "\n";
  return s;
}

}  // namespace pack
