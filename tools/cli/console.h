// The console pack.exe runs in: whether Explorer made it for this process
// alone (a drop or a double click), which closes it when the process ends.
#pragma once

namespace cli {

// True when the console belongs to this process alone and all three
// standard handles are that console: nobody else would see the output.
bool console_is_own();

// Shows "Press any key" and waits for a key, only when console_is_own().
void wait_if_own_console();

// Console text as UTF-8 while the process runs (the code page it had comes
// back at exit); nothing when the output is not a console.
void use_utf8_console();

}  // namespace cli
