#include "import/capture.h"

#include <exception>
#include <new>

#include "common/file.h"
#include "common/paths.h"
#include "import/finish.h"
#include "import/formats.h"
#include "import/intake.h"
#include "import/readers.h"

namespace capture {

Importer::Importer(const Options& options) : intake_(new Intake(options)) {}
Importer::~Importer() = default;

void Importer::add(const std::string& path) {
  intake_->set_current(common::Error{path, 0, -1, ""});
  try {
    const Format* format = format_of(path);
    if (!format)
      throw Fault(common::Error{path, 0, 0, "not a capture this packer knows (" + format_names() + ")"});
    if (common::path_kind(path) == common::PathKind::folder) return format->read(intake_.get(), path);
    struct Done {
      Intake* intake;
      uint64_t size;
      ~Done() {
        if (!std::uncaught_exceptions()) intake->read_whole(size);  // else the input was not read
      }
    } done{intake_.get(), common::input_size(path)};
    format->read(intake_.get(), path);
  } catch (const std::bad_alloc&) {
    throw Fault(with_message(intake_->current(), "out of memory"));
  }
}

void Importer::add_records(Input* input, const common::Error& where, const FileInput* progress_file,
                           InflateInput* gzip) {
  read_records(intake_.get(), input, where, progress_file, gzip);
}

void Importer::add_har_text(const std::string& text, const std::string& path, size_t spill_above) {
  MemoryInput in(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  read_har_input(intake_.get(), &in, path, spill_above);
}

Result Importer::finish() { return finish_import(intake_.get()); }

void Importer::set_originals_only(bool on) { intake_->originals_only = on; }

void Importer::set_start_page(const std::string& url) {
  if (intake_->start_page.empty()) intake_->start_page = url;
}

void warn(const Options& options, Result* result, const std::string& line) {
  result->warnings.push_back(line);
  if (options.progress) options.progress->interrupt();
  if (options.warnings) std::fprintf(options.warnings, "pack: warning: %s\n", line.c_str());
}

}  // namespace capture
