#include "pack/flv.h"

#include <cmath>
#include <cstring>

namespace pack {
namespace {

constexpr int kMaxDepth = 16;     // nested AMF0 objects and arrays
constexpr int kMaxTags = 64;      // tags looked at for the codecs
constexpr size_t kMaxProblems = 8;

uint32_t be24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | be24(p + 1); }

// One AMF0 body, read within [at, end); fails at the first damage with the
// offset where it is.
class Amf {
 public:
  Amf(const uint8_t* base, size_t at, size_t end) : base_(base), at_(at), end_(end) {}

  bool string(std::string* out) {
    if (!need(2, "a text's length")) return false;
    size_t n = size_t(base_[at_]) << 8 | base_[at_ + 1];
    at_ += 2;
    if (!need(n, "a text")) return false;
    out->assign(reinterpret_cast<const char*>(base_ + at_), n);
    at_ += n;
    return true;
  }

  // A value; numbers under a known key of the top object land in info.
  bool value(int depth, FlvInfo* info, const std::string& key) {
    if (depth > kMaxDepth) return fail("values nested more than 16 deep");
    if (!need(1, "a value's type")) return false;
    const size_t type_at = at_;
    const uint8_t type = base_[at_++];
    switch (type) {
      case 0: {  // number
        if (!need(8, "a number")) return false;
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = bits << 8 | base_[at_ + i];
        at_ += 8;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (info && depth == 1 && std::isfinite(d)) {
          if (key == "duration") info->duration = d;
          else if (key == "width") info->width = d;
          else if (key == "height") info->height = d;
          else if (key == "framerate") info->frame_rate = d;
        }
        return true;
      }
      case 1: return skip(1, "a boolean");
      case 2: {
        std::string s;
        return string(&s);
      }
      case 3: return properties(depth, info);
      case 5: case 6: return true;  // null, undefined
      case 7: return skip(2, "a reference");
      case 8: return skip(4, "an array's count") && properties(depth, info);
      case 10: {  // strict array
        if (!need(4, "an array's count")) return false;
        uint32_t n = be32(base_ + at_);
        at_ += 4;
        for (uint32_t i = 0; i < n; ++i)
          if (!value(depth + 1, nullptr, std::string())) return false;
        return true;
      }
      case 11: return skip(10, "a date");
      case 12: case 15: {  // long string, XML document
        if (!need(4, "a long text's length")) return false;
        uint32_t n = be32(base_ + at_);
        at_ += 4;
        return skip(n, "a long text");
      }
      default:
        at_ = type_at;
        return fail("unknown AMF0 value type " + std::to_string(type));
    }
  }

  size_t at() const { return at_; }
  const common::Error& error() const { return error_; }

 private:
  // Name and value pairs up to the end marker (an empty name and type 9).
  bool properties(int depth, FlvInfo* info) {
    for (;;) {
      std::string name;
      if (!string(&name)) return false;
      if (name.empty() && at_ < end_ && base_[at_] == 9) {
        ++at_;
        return true;
      }
      if (!value(depth + 1, depth == 0 ? info : nullptr, name)) return false;
    }
  }

  bool need(size_t n, const char* what) {
    if (end_ - at_ >= n) return true;
    return fail(std::string("the metadata ends inside ") + what);
  }
  bool skip(size_t n, const char* what) {
    if (!need(n, what)) return false;
    at_ += n;
    return true;
  }
  bool fail(const std::string& why) {
    if (error_.message.empty()) error_ = common::Error{"", 0, int64_t(at_), why};
    return false;
  }

  const uint8_t* base_;
  size_t at_, end_;
  common::Error error_;
};

void problem(FlvInfo* info, const common::Error& error) {
  if (info->problems.size() < kMaxProblems) info->problems.push_back(error);
}

void problem(FlvInfo* info, size_t at, const std::string& what) {
  problem(info, common::Error{"", 0, int64_t(at), what});
}

// A script tag holds a handler's name (an AMF0 text) and its argument;
// only onMetaData's is read.
void read_metadata(const uint8_t* data, size_t at, size_t end, FlvInfo* info) {
  if (data[at] != 2) {
    problem(info, at, "the script tag does not start with a handler name");
    return;
  }
  Amf amf(data, at + 1, end);
  std::string name;
  if (!amf.string(&name)) {
    problem(info, amf.error());
    return;
  }
  if (name != "onMetaData") return;
  if (!amf.value(0, info, std::string())) {
    problem(info, amf.error());
    return;
  }
  info->has_metadata = true;
}

}  // namespace

bool read_flv(const uint8_t* data, size_t size, FlvInfo* info, common::Error* error) {
  *info = FlvInfo();
  auto refuse = [error](int64_t at, const std::string& why) {
    error->offset = at;
    error->message = why;
    return false;
  };
  if (size < 3 || std::memcmp(data, "FLV", 3) != 0)
    return refuse(0, "not an FLV video (an FLV starts with the letters FLV)");
  if (size < 9) return refuse(int64_t(size), "the file ends inside the 9-byte FLV header");
  if (data[3] != 1) return refuse(3, "FLV version " + std::to_string(data[3]) + "; only version 1 exists");
  info->header_audio = data[4] & 4;
  info->header_video = data[4] & 1;
  const uint32_t header = be32(data + 5);
  if (header < 9)
    return refuse(5, "the header claims " + std::to_string(header) + " bytes; an FLV header has at least 9");
  // Tags follow the header and a four-byte previous tag size of 0.
  size_t at = size_t(header) + 4;
  for (int n = 0; n < kMaxTags && at < size; ++n) {
    if (size - at < 11) {
      problem(info, at, "the file ends inside a tag header");
      break;
    }
    const uint8_t type = data[at] & 0x1F;
    const size_t length = be24(data + at + 1);
    const size_t body = at + 11;
    if (size - body < length) {
      // Past the prefix that was read is not damage; the metadata must fit.
      if (type == 18) problem(info, at, "the script tag's " + std::to_string(length) +
                                            " bytes run past the end of the file");
      break;
    }
    if (type == 18 && !info->has_metadata && length > 0) read_metadata(data, body, body + length, info);
    if (type == 9 && length > 0 && info->video_codec < 0) info->video_codec = data[body] & 0x0F;
    if (type == 8 && length > 0 && info->audio_codec < 0) info->audio_codec = data[body] >> 4;
    if (type != 8 && type != 9 && type != 18) {
      problem(info, at, "unknown tag type " + std::to_string(type) + "; stopped reading tags");
      break;
    }
    if (info->video_codec >= 0 && (info->audio_codec >= 0 || !info->header_audio) &&
        info->has_metadata)
      break;
    at = body + length + 4;
  }
  return true;
}

const char* flv_video_codec_name(int id) {
  switch (id) {
    case -1: return "none";
    case 2: return "Sorenson Spark (H.263)";
    case 3: return "Screen video";
    case 4: return "On2 VP6";
    case 5: return "On2 VP6 with alpha";
    case 6: return "Screen video 2";
    case 7: return "H.264";
    default: return "unknown";
  }
}

const char* flv_audio_codec_name(int id) {
  switch (id) {
    case -1: return "none";
    case 0: return "PCM";
    case 1: return "ADPCM";
    case 2: return "MP3";
    case 3: return "PCM little-endian";
    case 4: case 5: case 6: return "Nellymoser";
    case 7: return "G.711 A-law";
    case 8: return "G.711 mu-law";
    case 10: return "AAC";
    case 11: return "Speex";
    case 14: return "MP3 8 kHz";
    default: return "unknown";
  }
}

}  // namespace pack
