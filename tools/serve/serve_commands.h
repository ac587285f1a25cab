// The packer's commands that run the package in a web server and a browser
// (Linux packer only).
#pragma once

int command_serve(int argc, char** argv);
int command_preview(int argc, char** argv);
// pack audit, with --run: the static list merged with a preview run's.
int command_audit_with_run(int argc, char** argv);
