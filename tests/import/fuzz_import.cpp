// Hostile captures through the importer: the first byte picks the reader
// (WARC or ARC records, plain or gzip; HAR, its long strings spilled or not;
// ZIP/WACZ), the rest is the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "import/capture.h"
#include "import/stream.h"
#include "import/warc.h"

using namespace capture;
namespace fs = std::filesystem;

namespace {

const std::string& work_dir() {
  static const std::string dir = [] {
    fs::path p = fs::temp_directory_path() / ("fuzz-import-" + std::to_string(getpid()));
    fs::create_directories(p);
    return p.string();
  }();
  return dir;
}

void import(uint8_t format, const uint8_t* data, size_t size) {
  Options options;
  options.work_dir = work_dir();
  Importer importer(options);
  try {
    switch (format % 4) {
      case 0: {
        MemoryInput in(data, size);
        importer.add_records(&in, common::Error{"fuzz", 0, -1, ""}, nullptr);
        break;
      }
      case 1: {
        auto gz = new InflateInput(std::unique_ptr<Input>(new MemoryInput(data, size)), InflateInput::GZIP,
                                   common::Error{"fuzz", 0, -1, ""});
        std::unique_ptr<Input> in(gz);
        importer.add_records(in.get(), common::Error{"fuzz", 0, -1, ""}, nullptr, gz);
        break;
      }
      case 2:
        // Bit 2: strings longer than 8 bytes go through spill files.
        importer.add_har_text(std::string(reinterpret_cast<const char*>(data), size), "fuzz.har",
                              format & 4 ? 8 : 64 << 10);
        break;
      case 3: {
        std::string path = work_dir() + "/in.zip";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        importer.add(path);
        break;
      }
    }
    importer.finish();
  } catch (const Fault&) {
  }
  for (const auto& e : fs::directory_iterator(work_dir())) fs::remove(e.path());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  import(data[0], data + 1, size - 1);
  // The block alone as an HTTP message.
  std::vector<uint8_t> block(data, data + size);
  HttpMessage http;
  if (parse_http(block, &http).empty()) {
    std::vector<uint8_t> body;
    bool complete;
    decode_body(http, block.data() + http.body_offset, block.size() - http.body_offset, &body,
                &complete, 16 << 20);
  }
  return 0;
}
