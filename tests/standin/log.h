// One JSON object per line, appended to the file named by TESSIVO_TEST_LOG.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

class LogLine {
 public:
  explicit LogLine(const char* call);
  LogLine& text(const char* key, const wchar_t* value);  // null becomes JSON null
  LogLine& number(const char* key, long long value);
  LogLine& flag(const char* key, bool value);
  LogLine& rect(const char* key, const RECT* value);
  LogLine& guid(const char* key, REFGUID value);
  ~LogLine();  // writes the line

 private:
  void key(const char* name);
  std::string line_;
};
