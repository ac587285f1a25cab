// The packer's commands, as the command table in main.cpp lists them. Each
// takes the arguments after its name and returns the exit code: 0 done,
// 1 refused or failed, 2 usage error (explain: 1 also when the player would
// answer with nothing). A command declares its options in one table
// (cli/options.h) in its own file.
#pragma once

#include <string>

namespace cli {
struct Help;
}
namespace common {
struct Error;
}
namespace pack {
class LoadedPlayer;
}

int command_build(int argc, char** argv);
int command_list(int argc, char** argv);
int command_explain(int argc, char** argv);
int command_audit(int argc, char** argv);
int command_import(int argc, char** argv);
int command_video(int argc, char** argv);
// The Linux pack only (TESSIVO_HAVE_SERVE): the package behind a web server
// and played in Ruffle.
int command_serve(int argc, char** argv);
int command_preview(int argc, char** argv);
// A player from a web archive.
int command_fetch(int argc, char** argv);

// Each command's help, where its usage is written once; pack --help
// lists the usage's first line.
const cli::Help& build_help();
const cli::Help& list_help();
const cli::Help& explain_help();
const cli::Help& audit_help();
const cli::Help& import_help();
const cli::Help& video_help();
const cli::Help& serve_help();
const cli::Help& preview_help();
const cli::Help& fetch_help();

// A player file, or a manifest (".toml"), loaded as the player would load it.
bool load_player_or_manifest(pack::LoadedPlayer* player, const std::string& path, common::Error* error);
