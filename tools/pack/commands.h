// The packer's subcommands. Each takes the arguments after its name and
// returns the process exit code.
#pragma once

int command_pack(int argc, char** argv);
int command_list(int argc, char** argv);
int command_explain(int argc, char** argv);
int command_audit(int argc, char** argv);
