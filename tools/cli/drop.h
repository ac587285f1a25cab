// Files and folders given with no command, as Explorer passes what is
// dropped on pack.exe: captures are imported into a player beside the first,
// a manifest is built, a player is listed and audited.
#pragma once

#include <string>
#include <vector>

namespace cli {

// True when args (after the program name) start with an existing file or
// folder rather than a command or an option.
bool is_drop(int argc, char** argv);

// Runs the drop; returns the exit code of the work done.
int run_drop(int argc, char** argv);

// The player's name for a capture or a manifest: beside it, named after it
// ("site.warc.gz" -> "site.exe"), the first of "NAME.exe", "NAME (2).exe",
// ... that does not exist.
std::string free_player_name(const std::string& input);

// What pack.exe says when started with nothing, as by a double click.
std::string drop_help();

}  // namespace cli
