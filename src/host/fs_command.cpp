#include "host/fs_command.h"

#include "base/text.h"
#include "base/win/settings_store.h"

namespace {

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

// White space as the C library knows it in the C locale.
bool is_space(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

}  // namespace

int32_t parse_volume_text(const char16_t* text) {
  if (!text || !*text) return 0;
  // Kept: the first character, whatever it is, and the digits that follow it.
  size_t end = 1;
  while (is_digit(text[end])) ++end;

  size_t i = 0;
  while (i < end && is_space(text[i])) ++i;
  bool negative = false;
  if (i < end && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  // A magnitude past the 32-bit range has no meaning; stop growing it.
  int64_t value = 0;
  for (; i < end && is_digit(text[i]); ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
  }
  if (negative) return int32_t(-value);
  return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

void handle_fs_command(const char16_t* command, const char16_t* argument) {
  if (!command || text::compare(command, u"volume") != 0) return;
  write_setting("svol", parse_volume_text(argument));
}
