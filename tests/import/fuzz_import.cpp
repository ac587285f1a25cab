// Hostile captures: bytes as a WARC stream (plain and as gzip), every record's
// block as an HTTP message with its body decoded.
#include <cstddef>
#include <cstdint>

#include "import/stream.h"
#include "import/warc.h"

using namespace capture;

namespace {

void records(Input* input) {
  try {
    Reader reader(input);
    WarcRecord record;
    while (read_warc_record(&reader, "fuzz", &record)) {
      HttpMessage http;
      if (!parse_http(record.block, &http).empty()) continue;
      std::vector<uint8_t> body;
      bool complete;
      decode_body(http, record.block.data() + http.body_offset,
                  record.block.size() - http.body_offset, &body, &complete, 16 << 20);
    }
  } catch (const ImportError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryInput plain(data, size);
  records(&plain);
  if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
    try {
      InflateInput gz(std::unique_ptr<Input>(new MemoryInput(data, size)), InflateInput::GZIP, "fuzz");
      records(&gz);
    } catch (const ImportError&) {
    }
  }
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
