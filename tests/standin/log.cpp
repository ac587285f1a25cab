#include "log.h"

#include <cstdio>

namespace {

void append_utf8(std::string& out, const wchar_t* s) {
  for (; *s; ++s) {
    unsigned c = *s;
    if (c >= 0xD800 && c < 0xDC00 && s[1] >= 0xDC00 && s[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unsigned(s[1]) - 0xDC00);
      ++s;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | (c >> 12 & 0x3F));
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
}

}  // namespace

LogLine::LogLine(const char* call) {
  line_ = "{\"call\":\"";
  line_ += call;
  line_ += '"';
}

void LogLine::key(const char* name) {
  line_ += ",\"";
  line_ += name;
  line_ += "\":";
}

LogLine& LogLine::text(const char* name, const wchar_t* value) {
  key(name);
  if (!value) {
    line_ += "null";
    return *this;
  }
  line_ += '"';
  append_utf8(line_, value);
  line_ += '"';
  return *this;
}

LogLine& LogLine::number(const char* name, long long value) {
  key(name);
  line_ += std::to_string(value);
  return *this;
}

LogLine& LogLine::flag(const char* name, bool value) {
  key(name);
  line_ += value ? "true" : "false";
  return *this;
}

LogLine& LogLine::rect(const char* name, const RECT* value) {
  key(name);
  if (!value) {
    line_ += "null";
    return *this;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "[%ld,%ld,%ld,%ld]", value->left, value->top, value->right,
                value->bottom);
  line_ += buf;
  return *this;
}

LogLine& LogLine::guid(const char* name, REFGUID value) {
  wchar_t buf[40];
  StringFromGUID2(value, buf, 40);
  return text(name, buf);
}

LogLine::~LogLine() {
  line_ += "}\n";
  wchar_t path[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"TESSIVO_TEST_LOG", path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(file, line_.data(), DWORD(line_.size()), &written, nullptr);
  CloseHandle(file);
}
