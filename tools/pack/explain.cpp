#include <cstdio>

#include "commands.h"

int command_explain(int, char**) {
  std::fputs("explain: not available yet\n", stderr);
  return 2;
}
