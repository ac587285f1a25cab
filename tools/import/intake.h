// The one intake every format's reader feeds: a captured response goes
// through the one decision and the filters, its body is streamed to a
// payload file under the digest and length checks, and what is kept waits
// here, in capture order, until the import is finished.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "import/accept.h"
#include "import/capture.h"

namespace capture {

class Intake {
 public:
  struct Payload {
    std::string file;
    int64_t size = 0;
    std::string content_type;
  };
  // A reader's work left for the end of the import (a revisit filled from
  // an original that may be read later), settled before finishing.
  class Deferred {
   public:
    virtual ~Deferred() = default;
    virtual void settle(Intake* intake) = 0;
  };

  explicit Intake(const Options& options);
  ~Intake();

  const Options& options() const { return options_; }

  // decide() applied, a redirect noted, a skip counted, then the filters:
  // whether the response is to be kept.
  bool admit(const std::string& url, int status, const Headers& headers, const std::string& location,
             const std::string& where);
  // Decides what a captured response becomes and, when it is kept, streams
  // its body to a payload file. False when nothing is kept (counted, or
  // noted as a redirect).
  bool take(const Captured& captured, Item* item, Payload* payload);
  // Whether the player can hold the item (its texts); counted as bad when not.
  bool fits_player(const Item& item);
  // Adds an item that fits, after those kept before it.
  void append(Item item) { items_.push_back(std::move(item)); }
  void keep(Item item) {
    if (fits_player(item)) append(std::move(item));
  }
  // A payload file written, then refused after all.
  void drop_payload(const Payload& payload);

  // A placed error, its message why; kind: the summary's reason ("bad
  // record", "damaged record", "undecodable", "too large for the player");
  // skipped unless --strict, which refuses.
  void bad(const common::Error& error, const char* kind = "bad record");
  // Counted under its kind, one warning line a kind: its first place says
  // detail, when given.
  void accepted(const std::string& where, const std::string& kind, const std::string& detail = "");
  // Each Lenience bit set, counted as accepted.
  void lenience(const std::string& where, unsigned bits);
  void skip(const std::string& reason) {
    if (counting) ++result_.skipped[reason];
  }

  // Progress: bytes read within the current input, and items a reader
  // holds back besides those kept.
  void report(uint64_t within, size_t held = 0);
  // An input (or a folder's file) read whole.
  void read_whole(uint64_t bytes);
  // The record being read, for out-of-memory messages.
  void set_current(const common::Error& where) { current_ = where; }
  const common::Error& current() const { return current_; }

  // A reader's state for the whole import, made on first use by make and
  // settled, in order of making, before finishing.
  Deferred* deferred(const void* key, std::unique_ptr<Deferred> (*make)());
  void settle_deferred();

  std::vector<Item>& items() { return items_; }
  std::vector<Redirect>& redirects() { return redirects_; }
  const std::vector<std::string>& files() const { return files_; }
  Result& result() { return result_; }

  // A capture's own idea of its first page (a WACZ's pages list) or first
  // movie (a curation's launch command), and how the choice is worded.
  std::string start_page, start_movie, start_movie_reason;
  // Records are read only as the originals that revisits name: their
  // payloads are indexed for that, whatever the filters, and kept as no entry.
  bool originals_only = false;
  // Responses the filters left out.
  int left_out = 0;
  // Off while files are read again: what they hold was counted the first time.
  bool counting = true;

  void warn_tallies();

 private:
  struct Tally {
    int count = 0;
    std::string first;
    std::vector<std::string> more;  // the next few places
  };
  class PayloadFile;
  bool filtered(const std::string& url);
  std::string payload_name(const std::string& url);

  Options options_;
  Result result_;
  std::vector<Item> items_;
  std::vector<Redirect> redirects_;
  std::vector<std::string> files_;
  int serial_ = 0;
  std::map<std::string, Tally> tallies_;
  std::vector<std::string> tally_order_;
  common::Error current_;
  uint64_t read_before_ = 0;  // bytes of the inputs read whole
  std::vector<std::pair<const void*, std::unique_ptr<Deferred>>> deferred_;
};

// Small text helpers the readers share.
bool starts_with(const std::string& s, const char* prefix);
bool ends_with(const std::string& s, const char* suffix);
// Whether a Content-Length, when the body has one, does not fall short of
// the body stored: a longer body is a damaged record.
bool length_fits(const Headers& headers, uint64_t stored);
// The first n bytes of a file (fewer when it is shorter). Throws a Fault.
std::vector<uint8_t> read_head(const std::string& path, size_t n);

}  // namespace capture
