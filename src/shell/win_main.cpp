#include <windows.h>

#include "package/platform.h"
#include "package/player_state.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  set_instance_handle(instance);
  if (!load_package()) return -1;
  free_player_state();
  return 0;
}
