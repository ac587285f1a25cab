#include "build.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "carried_stub.h"
#include "checks.h"
#include "file_source.h"
#include "manifest.h"
#include "package/package_source.h"
#include "package/player_state.h"
#include "paths.h"

namespace pack {
namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "pack: %s\n", message.c_str());
  return 1;
}

bool is_packed_player(const std::vector<uint8_t>& bytes) {
  MemorySource memory{bytes.data(), int64_t(bytes.size()), 0, 0};
  int loaded = load_package_from(memory_source(&memory));
  reset_player_state();
  return loaded != 0;
}

struct Input {
  std::string path;
  std::string what;
};

std::vector<Input> inputs_of(const Package& pkg, const BuildOptions& o) {
  std::vector<Input> in;
  if (!o.manifest_path.empty()) in.push_back({o.manifest_path, "the manifest"});
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

}  // namespace

bool load_stub(const std::string& path, std::vector<uint8_t>* stub, std::string* error) {
  std::string name = path;
  if (path.empty()) {
    if (carried_stub_size() == 0) {
      *error = "this packer was built without a player stub; give one with --stub STUB.exe";
      return false;
    }
    stub->assign(carried_stub_data(), carried_stub_data() + carried_stub_size());
    name = "the carried stub";
  } else if (!read_whole_file(path, stub, error)) {
    return false;
  }
  if (is_packed_player(*stub)) {
    *error = name + " is already a packed player; give the bare stub";
    return false;
  }
  std::string why = check_stub(*stub);
  if (!why.empty()) {
    *error = name + ": " + why;
    return false;
  }
  return true;
}

int build_player_file(Package pkg, const BuildOptions& o) {
  std::vector<uint8_t> stub;
  std::string error;
  if (!load_stub(o.stub_path, &stub, &error)) return fail(error);

  std::vector<Note> notes;
  fill_content_types(&pkg, &notes);
  check_manifest(pkg, &notes);
  error = check_package(pkg, int64_t(stub.size()));
  if (!error.empty()) notes.push_back(Note{true, 0, -1, error, ""});
  int errors = 0, warnings = 0;
  for (const Note& n : notes) {
    std::fputs(format_note(o.source, n).c_str(), stderr);
    (n.error ? errors : warnings)++;
  }
  if (errors || (o.strict && warnings))
    return fail(std::string("no player written: ") + std::to_string(errors) + " error(s), " +
                std::to_string(warnings) + " warning(s)" + (errors ? "" : " (--strict)"));

  FileId out_id;
  if (file_id(o.out_path, &out_id)) {
    for (const Input& in : inputs_of(pkg, o)) {
      FileId id;
      if (!in.path.empty() && file_id(in.path, &id) && id == out_id)
        return fail("cannot write " + o.out_path + ": it is " + in.what + " (" + in.path +
                    "); choose another output");
    }
  }

  AtomicOutput out;
  if (!out.open(o.out_path, &error)) return fail(error);
  FileSink sink(out.file());
  error = write_player(stub, pkg, &sink);
  if (error == "cannot write the output") error = "cannot write " + o.out_path + ": " + std::strerror(errno);
  if (!error.empty()) return fail("no player written: " + error);
  if (!out.commit(&error)) return fail(error);
  if (!o.quiet)
    std::printf("%s: %lld bytes, %s\n", o.out_path.c_str(), static_cast<long long>(sink.position()),
              pkg.mode == PLAYBACK_VIDEO ? "video package"
                                         : (std::to_string(pkg.entries.size()) + " entries, mode " +
                                            mode_name(pkg.mode)).c_str());
  return 0;
}

}  // namespace pack
