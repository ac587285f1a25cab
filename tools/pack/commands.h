// The packer's subcommands. Each takes the arguments after its name and
// returns the process exit code: 0 done, 1 refused or failed, 2 usage error
// (explain: 1 also when the player would answer with nothing).
#pragma once

#include <string>

int command_build(int argc, char** argv);
int command_list(int argc, char** argv);
int command_explain(int argc, char** argv);
int command_audit(int argc, char** argv);
int command_import(int argc, char** argv);
int command_video(int argc, char** argv);

// Prints a subcommand's usage error ("pack NAME: message" and a pointer to
// --help) on stderr and returns 2.
int usage_error(const char* command, const std::string& message);

// True for -h and --help.
bool is_help(const char* arg);
