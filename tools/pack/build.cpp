#include "pack/build.h"

#include "common/atomic_output.h"
#include "common/file.h"
#include "common/paths.h"
#include "common/progress.h"
#include "package/player_state.h"
#include "pack/browser_page.h"
#include "pack/checks.h"
#include "pack/loaded_player.h"
#include "pack/manifest.h"
#include "pack/stub/carried_stub.h"

namespace pack {
namespace {

bool fail(common::Error* error, const std::string& message) {
  *error = common::plain(message);
  return false;
}

// A failure while the player was being made, which leaves none behind.
bool unwritten(common::Error* error) {
  error->message += "; no player written";
  return false;
}

// The file sink, telling the progress line of every write.
class ReportingSink : public FileSink {
 public:
  ReportingSink(std::FILE* file, std::string name, common::Progress* progress, uint64_t entries)
      : FileSink(file, std::move(name)), progress_(progress), entries_(entries) {}
  bool write(const void* data, size_t n) override {
    bool ok = FileSink::write(data, n);
    if (progress_) progress_->update(uint64_t(position()), entries_);
    return ok;
  }

 private:
  common::Progress* progress_;
  uint64_t entries_;
};

bool is_packed_player(const std::vector<uint8_t>& bytes) {
  LoadedPlayer probe;
  return probe.load_bytes(bytes);
}

std::vector<BuildInput> inputs_of(const Package& pkg, const BuildOptions& o) {
  std::vector<BuildInput> in = o.inputs;
  if (!o.stub_path.empty()) in.push_back({o.stub_path, "the stub"});
  if (pkg.mode == PLAYBACK_VIDEO) {
    in.push_back({pkg.player.path, "the video player movie"});
    in.push_back({pkg.skin.path, "the skin movie"});
    in.push_back({pkg.video.path, "the video"});
  }
  for (size_t i = 0; i < pkg.entries.size(); ++i) {
    in.push_back({pkg.entries[i].data.path, "the file of entry " + std::to_string(i)});
    in.push_back({pkg.entries[i].post_body_path, "the POST body of entry " + std::to_string(i)});
  }
  return in;
}

// Whether the output is one of the inputs, by file identity, and which.
bool output_is_input(const Package& pkg, const BuildOptions& o, BuildInput* which) {
  common::FileId out_id, id;
  if (!common::file_id(o.out_path, &out_id)) return false;
  for (const BuildInput& in : inputs_of(pkg, o))
    if (!in.path.empty() && common::file_id(in.path, &id) && id == out_id) {
      *which = in;
      return true;
    }
  return false;
}

bool refuse_output_of_input(const Package& pkg, const BuildOptions& o, common::Error* error) {
  BuildInput in;
  if (!output_is_input(pkg, o, &in)) return true;
  return fail(error, "cannot write " + o.out_path + ": it is " + in.what + " (" + in.path +
                         "); choose another output");
}

}  // namespace

bool check_build_options(const BuildOptions& o, common::Error* error) {
  std::vector<uint8_t> stub;
  if (!load_stub(o.stub_path, &stub, error) || !refuse_output_of_input(Package(), o, error)) return false;
  const std::string folder = common::folder_of(o.out_path);
  if (common::path_kind(folder) != common::PathKind::folder)
    return fail(error, "cannot write " + o.out_path + ": folder " + folder + " does not exist");
  return true;
}

bool load_stub(const std::string& path, std::vector<uint8_t>* stub, common::Error* error) {
  std::string name = path;
  if (path.empty()) {
    if (carried_stub_size() == 0) {
      *error = common::plain("this packer was built without a player stub; give one with --stub STUB.exe");
      return false;
    }
    stub->assign(carried_stub_data(), carried_stub_data() + carried_stub_size());
    name = "the carried stub";
  } else if (!common::read_whole_file(path, stub, error)) {
    return false;
  }
  if (is_packed_player(*stub)) {
    *error = common::plain(name + " is already a packed player; give the bare stub");
    return false;
  }
  if (!check_stub(*stub, error)) {
    error->file = name;
    return false;
  }
  return true;
}

bool build_player_file(Package pkg, const BuildOptions& o, BuildResult* result, common::Error* error) {
  std::vector<uint8_t> stub;
  if (!load_stub(o.stub_path, &stub, error)) return false;

  std::vector<Note>& notes = result->notes;
  fill_content_types(&pkg, &notes);
  pkg.runtime = BrowserRuntime();
  if (o.browser) {
    if (!browser_runtime(pkg, &pkg.runtime, error)) return unwritten(error);
  }
  check_manifest(pkg, &notes);
  common::Error refused;
  if (!check_package(pkg, int64_t(stub.size()), &refused)) notes.push_back(Note{true, 0, -1, refused.message, ""});
  int errors = 0, warnings = 0;
  for (const Note& n : notes) (n.error ? errors : warnings)++;
  if (errors || (o.strict && warnings))
    return fail(error, "no player written: " + std::to_string(errors) + " error(s), " +
                           std::to_string(warnings) + " warning(s)" + (errors ? "" : " (--strict)"));
  if (!refuse_output_of_input(pkg, o, error)) return false;

  common::AtomicOutput out;
  if (!out.open(o.out_path, error)) return false;
  if (o.progress) {
    uint64_t total = stub.size();
    for (const PageEntry& e : pkg.entries) total += uint64_t(e.data.length());
    for (const Data* d : {&pkg.player, &pkg.skin, &pkg.video}) total += uint64_t(d->length());
    for (const BrowserFile& f : pkg.runtime.files) total += uint64_t(f.data.length());
    o.progress->set_total(total);
  }
  ReportingSink sink(out.file(), o.out_path, o.progress, pkg.entries.size());
  if (!write_player(stub, pkg, &sink, error)) return unwritten(error);
  if (!out.commit(error)) return false;
  result->size = sink.position();
  result->contents = pkg.mode == PLAYBACK_VIDEO ? "video package"
                                                : std::to_string(pkg.entries.size()) + " entries, mode " +
                                                      mode_name(pkg.mode);
  return true;
}

}  // namespace pack
