// Each format's reader: it reads one input and hands what it holds to the
// intake. The table of formats (formats.h) says which reads what.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "import/stream.h"

namespace capture {

class Intake;

// WARC (0.17 to 1.1) and ARC records: responses and resources as they are
// read, POST keys from requests paired within each file, revisits filled
// from their original at the end, wherever it lies.
void read_record_file(Intake* intake, const std::string& path);  // plain or gzip, as its bytes tell
// Records from a stream; gzip, when given, is the input or under it, for
// recovery. progress_file, when given, tells how far the file is read.
void read_records(Intake* intake, Input* input, const common::Error& where, const FileInput* progress_file,
                  InflateInput* gzip = nullptr);

// Has read run again at the end of the import, when revisits look for
// originals that the filters left out (a record file, read again for them).
void read_again(Intake* intake, std::function<void(Intake*)> read);

// A WACZ: the records of its archive/ members, its first page from pages.jsonl.
void read_wacz(Intake* intake, const std::string& path);

// A HAR file, streamed; strings longer than spill_above bytes pass through
// files in the work folder.
void read_har(Intake* intake, const std::string& path);
void read_har_input(Intake* intake, Input* input, const std::string& path, size_t spill_above);

// A folder mirrored as HOST/PATH (wget -x or --mirror, httrack).
void read_folder(Intake* intake, const std::string& path);

// A Flashpoint curation, a folder or a ZIP: its launch command is the first
// movie; a platform or application other than Flash is refused.
bool is_curation(const std::string& path, bool folder, const std::vector<uint8_t>& head);
void read_curation(Intake* intake, const std::string& path);
// Its title, or "" (throws a Fault when its meta cannot be read).
std::string curation_title(const std::string& path);

}  // namespace capture
