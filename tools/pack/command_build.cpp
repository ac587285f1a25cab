#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "file_source.h"
#include "manifest.h"
#include "package_writer.h"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "pack: %s\n", message.c_str());
  return 1;
}

}  // namespace

int command_pack(int argc, char** argv) {
  std::string stub_path, out_path, manifest_path;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--stub") && i + 1 < argc) {
      stub_path = argv[++i];
    } else if (!std::strcmp(argv[i], "-o") && i + 1 < argc) {
      out_path = argv[++i];
    } else if (argv[i][0] == '-' || !manifest_path.empty()) {
      return fail(std::string("unexpected argument \"") + argv[i] + "\" (try pack --help)");
    } else {
      manifest_path = argv[i];
    }
  }
  if (stub_path.empty() || out_path.empty() || manifest_path.empty())
    return fail("usage: pack build --stub STUB.exe -o OUT.exe MANIFEST.toml");

  std::string error;
  std::vector<uint8_t> stub;
  if (!read_whole_file(stub_path, &stub, &error)) return fail(error);
  error = pack::check_stub(stub);
  if (!error.empty()) return fail(stub_path + ": " + error);

  pack::Package package;
  if (!pack::read_manifest(manifest_path, &package, &error)) return fail(error);

  // Written beside the target and renamed at the end, so that a failure
  // never leaves a partial player behind.
  std::string temp = out_path + ".part";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return fail(temp + ": " + std::strerror(errno));
  pack::FileSink sink(f);
  error = pack::write_player(stub, package, &sink);
  if (std::fclose(f) != 0 && error.empty()) error = temp + ": write error";
  if (error.empty()) {
#ifdef _WIN32
    // Only the Windows C library's rename refuses to replace a file.
    std::remove(out_path.c_str());
#endif
    if (std::rename(temp.c_str(), out_path.c_str()) != 0)
      error = out_path + ": " + std::strerror(errno);
  }
  if (!error.empty()) {
    std::remove(temp.c_str());
    return fail(error);
  }
#ifndef _WIN32
  chmod(out_path.c_str(), 0755);
#endif
  std::printf("%s: %lld bytes\n", out_path.c_str(), static_cast<long long>(sink.position()));
  return 0;
}
