#include <memory>

#include <nlohmann/json.hpp>

#include "common/utf.h"
#include "import/intake.h"
#include "import/readers.h"
#include "import/zip.h"

namespace capture {

namespace {

// gzip or not by its first bytes, whatever the member's name says.
bool gzipped(const std::string& path, const ZipMember& m) {
  uint8_t magic[2] = {0, 0};
  std::unique_ptr<Input> peek = open_zip_member(path, m);
  peek->read(magic, 1);
  peek->read(magic + 1, 1);
  return magic[0] == 0x1f && magic[1] == 0x8b;
}

// An archive/ member's records.
void read_member(Intake* intake, const std::string& path, const ZipMember& m) {
  const common::Error where{path, 0, -1, "", -1, m.name};
  const bool gzip = gzipped(path, m);
  std::unique_ptr<Input> in = open_zip_member(path, m);
  if (gzip != ends_with(common::ascii_lower(m.name), ".gz"))
    intake->accepted(where.place(), gzip ? "gzip told by its bytes, not its name" : "named .gz, but not compressed");
  if (gzip) {
    InflateInput* gz = new InflateInput(std::move(in), InflateInput::GZIP, where);
    in.reset(gz);
    read_records(intake, in.get(), where, nullptr, gz);
  } else {
    read_records(intake, in.get(), where, nullptr);
  }
}

}  // namespace

void read_wacz(Intake* intake, const std::string& path) {
  std::vector<ZipMember> members = read_zip_directory(path);
  bool any = false;
  // Damage that the member's own framing would not show (a stored plain
  // WARC) shows in its CRC-32; such a member is skipped whole. A gzip
  // member's framing shows it record by record, so only the damaged
  // records are lost.
  auto sound = [&](const ZipMember& m, bool framed) {
    const common::Error fault = zip_member_fault(path, m);
    if (!fault.message.empty()) intake->bad(fault, "damaged record");
    return fault.message.empty() || framed;
  };
  std::string& start_page = intake->start_page;
  for (const ZipMember& m : members) {
    if (m.name == "pages/pages.jsonl" && start_page.empty() && sound(m, false)) {
      std::unique_ptr<Input> in = open_zip_member(path, m);
      Reader reader(in.get());
      std::string line;
      int n = 0;
      bool more = true;
      while (start_page.empty() && more) {
        more = reader.line(&line, 1 << 20, common::Error{path, 0, -1, "", -1, m.name});
        if (line.empty()) continue;
        ++n;
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded())
          throw Fault(common::Error{path, n, -1, "not JSON", -1, m.name});
        if (j.is_object() && j.contains("url") && j["url"].is_string()) start_page = j["url"];
      }
    }
  }
  for (const ZipMember& m : members) {
    if (!starts_with(m.name, "archive/") || m.name.back() == '/') continue;
    any = true;
    if (!sound(m, gzipped(path, m))) continue;
    read_member(intake, path, m);
    read_again(intake, [path, m](Intake* again) { read_member(again, path, m); });
    intake->report(uint64_t(m.header_offset + m.compressed));
  }
  if (!any)
    throw Fault(common::Error{path, 0, 0, "a ZIP with no member under archive/, so not a WACZ"});
}

}  // namespace capture
