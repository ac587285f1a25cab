// Resource delivery as the rest of the player sees it.
#pragma once

#include <windows.h>

#include <cstdint>

// Posted to the main window by a resource stream.
constexpr UINT MSG_READ_NEXT_CHUNK = WM_APP + 1;  // 0x8001; wParam: the ResourceMoniker
constexpr UINT MSG_PLAYER_READY = WM_APP + 2;     // 0x8002
static_assert(MSG_READ_NEXT_CHUNK == 0x8001 && MSG_PLAYER_READY == 0x8002, "fixed message values");

class ResourceMoniker;

// A new moniker for an entry index (-1: none) whose transfer is driven by
// window; null when it cannot be allocated. It comes with one reference,
// which the caller owns: hand it to the control as is (see
// resource_moniker_interface), or Release it.
ResourceMoniker* create_resource_moniker(int32_t index, HWND window);

// The moniker's IMoniker, without adding a reference.
struct IMoniker* resource_moniker_interface(ResourceMoniker* moniker);

// Answers MSG_READ_NEXT_CHUNK. Safe for a moniker that no longer exists.
void read_next_chunk(ResourceMoniker* moniker);

