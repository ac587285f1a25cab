// pack audit ... --run [--seconds N]: the static audit merged with a run.
#include <cstring>
#include <string>
#include <vector>

#include "pack/commands.h"
#include "serve/serve_commands.h"

int command_audit_with_run(int argc, char** argv) {
  bool run = false;
  for (int i = 0; i < argc; ++i) run = run || !std::strcmp(argv[i], "--run");
  if (!run) return command_audit(argc, argv);
  return usage_error("audit", "--run is not done yet");
}
