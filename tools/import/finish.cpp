#include "import/finish.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "common/file.h"
#include "common/url.h"
#include "common/utf.h"
#include "import/html.h"
#include "import/intake.h"
#include "import/video_import.h"

namespace capture {

using common::ascii_lower;
using common::text_to_utf16;

namespace {

std::string key_of(const std::string& url, const std::string& post_key) {
  return ascii_lower(url) + '\n' + post_key;
}

std::string media_type(const std::string& content_type) {
  return ascii_lower(content_type.substr(0, content_type.find(';')));
}

bool is_swf(const Item& item, const std::vector<uint8_t>* head = nullptr) {
  if (media_type(item.content_type) == "application/x-shockwave-flash") return true;
  std::string path = ascii_lower(item.url.substr(0, item.url.find_first_of("?#")));
  if (ends_with(path, ".swf")) return true;
  return head && head->size() >= 3 &&
         (std::memcmp(head->data(), "FWS", 3) == 0 || std::memcmp(head->data(), "CWS", 3) == 0 ||
          std::memcmp(head->data(), "ZWS", 3) == 0);
}

bool is_html(const Item& item) {
  std::string t = media_type(item.content_type);
  return t == "text/html" || t == "application/xhtml+xml";
}

std::string read_text(const std::string& path) {
  std::string text;
  common::Error error;
  if (!common::read_whole_file(path, &text, &error)) throw Fault(error);
  return text;
}

std::vector<Item> drop_duplicates(Intake* intake) {
  std::vector<Item>& items = intake->items();
  // The last capture of a URL (and POST body) wins. In mode page the player
  // ignores POST bodies, so one URL is one entry.
  if (intake->options().mode != 2)
    for (Item& it : items) it.post_key.clear();
  std::map<std::string, size_t> last;
  for (size_t i = 0; i < items.size(); ++i) last[key_of(items[i].url, items[i].post_key)] = i;
  std::vector<Item> kept;
  for (size_t i = 0; i < items.size(); ++i) {
    size_t winner = last[key_of(items[i].url, items[i].post_key)];
    if (winner != i) {
      intake->result().dropped.push_back(items[i].url + ": " + items[i].where.place() + " dropped, " +
                                         items[winner].where.place() + " kept");
      intake->skip("duplicate");
      continue;
    }
    kept.push_back(items[i]);
  }
  return kept;
}

int find_url(const std::vector<Item>& kept, const std::string& url) {
  for (size_t i = 0; i < kept.size(); ++i)
    if (ascii_lower(kept[i].url) == ascii_lower(url)) return int(i);
  return -1;
}

struct FirstMovie {
  int index = -1;
  bool embedded = false;  // the movie is the one the page embeds
  Embedding embedding;
  std::string page_url;
};

// The start page (else the first HTML page) and the movie it embeds.
FirstMovie find_page(const std::vector<Item>& kept, const std::string& start_page) {
  FirstMovie m;
  int page = start_page.empty() ? -1 : find_url(kept, start_page);
  if (page >= 0 && !is_html(kept[size_t(page)])) page = -1;
  for (size_t i = 0; page < 0 && i < kept.size(); ++i)
    if (is_html(kept[i])) page = int(i);
  if (page >= 0) {
    m.page_url = kept[size_t(page)].url;
    if (find_embedding(read_text(kept[size_t(page)].file), &m.embedding)) {
      m.embedded = true;
      m.embedding.movie = join_url(m.page_url, m.embedding.movie);
    }
  }
  return m;
}

void choose_movie(const std::vector<Item>& kept, const Options& options, const Intake& intake, FirstMovie* m,
                  Result* result) {
  const std::string& start_page = intake.start_page;
  const bool given = !options.start.empty();
  if (given || !intake.start_movie.empty()) {
    const std::string& start = given ? options.start : intake.start_movie;
    m->index = find_url(kept, start);
    if (m->index < 0)
      throw fault_of((given ? "--start" : intake.start_movie_reason + ":") + " " + start +
                        ": no such URL in the capture");
    result->start_reason = given ? "given by --start" : intake.start_movie_reason;
    if (m->embedded && ascii_lower(m->embedding.movie) != ascii_lower(kept[size_t(m->index)].url))
      m->embedded = false;
  } else if (!start_page.empty() && find_url(kept, start_page) >= 0 &&
             is_swf(kept[size_t(find_url(kept, start_page))])) {
    m->index = find_url(kept, start_page);
    m->embedded = false;
    result->start_reason = "the WACZ's first page";
  } else {
    if (m->embedded) {
      m->index = find_url(kept, m->embedding.movie);
      if (m->index >= 0) result->start_reason = "embedded by " + m->page_url;
      else result->notes.push_back(m->page_url + " embeds " + m->embedding.movie + ", which is not in the capture");
    }
    if (m->index < 0) {
      m->embedded = false;
      for (size_t i = 0; i < kept.size() && m->index < 0; ++i) {
        std::vector<uint8_t> head = read_head(kept[i].file, 3);
        if (is_swf(kept[i], &head)) m->index = int(i);
      }
      if (m->index >= 0) result->start_reason = "the first SWF response in the capture";
    }
  }
}

// An FLV as the start (given, or the only one in a capture without a SWF)
// makes a video player; -1 when none does.
int video_start(const std::vector<Item>& kept, int movie) {
  int video = movie >= 0 && is_flv_item(kept[size_t(movie)]) ? movie : -1;
  for (size_t i = 0; movie < 0 && i < kept.size(); ++i)
    if (is_flv_item(kept[i])) video = video == -1 ? int(i) : -2;
  return video;
}

// The redirecting URL becomes the target's alternate URL.
void settle_redirects(const std::vector<Redirect>& redirects, std::vector<Item>* kept, Result* result) {
  std::map<std::string, Redirect> latest;
  std::vector<std::string> order;
  for (const Redirect& r : redirects) {
    if (!latest.count(ascii_lower(r.from))) order.push_back(ascii_lower(r.from));
    latest[ascii_lower(r.from)] = r;
  }
  for (const std::string& from : order) {
    const Redirect& r = latest[from];
    if (r.from.find('\0') != std::string::npos) continue;
    std::string to = r.to;
    for (int hop = 0; hop < 10 && find_url(*kept, to) < 0 && latest.count(ascii_lower(to)); ++hop)
      to = latest[ascii_lower(to)].to;
    int target = find_url(*kept, to);
    bool served = find_url(*kept, r.from) >= 0;
    for (const Item& it : *kept) served = served || ascii_lower(it.alternate) == ascii_lower(r.from);
    std::string what = r.from + " -> " + r.to + ": ";
    if (target < 0) result->redirects.push_back(what + "not kept: the target is not in the capture");
    else if (served) result->redirects.push_back(what + "not kept: that URL is served already");
    else if (!(*kept)[size_t(target)].alternate.empty())
      result->redirects.push_back(what + "not kept: the target has an alternate URL already");
    else {
      (*kept)[size_t(target)].alternate = r.from;
      result->redirects.push_back(what + "kept as the alternate URL of " + (*kept)[size_t(target)].url);
    }
  }
}

void fill_package(const Options& options, const FirstMovie& m, const std::vector<Item>& kept, pack::Package* pkg) {
  pkg->mode = options.mode;
  pkg->width = options.width;
  pkg->height = options.height;
  if (m.embedded) {
    pkg->flash_vars = text_to_utf16(m.embedding.flash_vars);
    if (!m.embedding.base.empty()) pkg->base = text_to_utf16(join_url(m.page_url, m.embedding.base));
    if (!options.width && !options.height) {
      pkg->width = m.embedding.width;
      pkg->height = m.embedding.height;
    }
  }
  for (const Item& it : kept) {
    pack::PageEntry e;
    e.url = text_to_utf16(it.url);
    e.alternate_url = text_to_utf16(it.alternate);
    e.post_key = it.post_key;
    e.content_type = text_to_utf16(it.content_type);
    e.data.path = it.file;
    e.data.size = it.size;
    pkg->entries.push_back(e);
  }
}

}  // namespace

Result finish_import(Intake* intake) {
  const Options& options = intake->options();
  Result& result = intake->result();
  intake->settle_deferred();
  intake->warn_tallies();
  std::vector<Item> kept = drop_duplicates(intake);
  FirstMovie first = find_page(kept, intake->start_page);
  choose_movie(kept, options, *intake, &first, &result);
  const int video = video_start(kept, first.index);
  if (video >= 0) {
    if (result.start_reason.empty()) result.start_reason = "the only video in the capture";
    make_video_result(kept[size_t(video)], options, &result);
    for (const std::string& f : intake->files())
      if (f != kept[size_t(video)].file) std::remove(f.c_str());
    return result;
  }
  const int movie = first.index;
  if (movie < 0) throw fault_of("no movie in the capture: name the first movie with --start URL");
  if (kept[size_t(movie)].size < 4)
    throw fault_of(kept[size_t(movie)].url + ": the first movie must be a SWF file of at least 4 bytes");
  std::rotate(kept.begin(), kept.begin() + movie, kept.begin() + movie + 1);
  result.start_url = kept[0].url;
  settle_redirects(intake->redirects(), &kept, &result);
  fill_package(options, first, kept, &result.package);
  std::set<std::string> used;
  for (const Item& it : kept) used.insert(it.file);
  for (const std::string& f : intake->files())
    if (!used.count(f)) std::remove(f.c_str());
  result.entries = kept;
  return result;
}

}  // namespace capture
