#include "delivery/held_ref.h"

#include "delivery/delivery.h"

namespace {

// Deep enough for a step inside a notification inside another step.
constexpr uint32_t HOLD_CAPACITY = 64;

IUnknown* g_holds[HOLD_CAPACITY];
uint32_t g_hold_count;

}  // namespace

namespace delivery_detail {

uint32_t list_hold(IUnknown* p) {
  if (!p || g_hold_count == HOLD_CAPACITY) return NO_HOLD_SLOT;
  g_holds[g_hold_count] = p;
  return g_hold_count++;
}

void drop_hold(uint32_t slot, IUnknown* p) {
  if (slot == NO_HOLD_SLOT) {
    if (p) p->Release();
    return;
  }
  release_transfer_holds(slot);
}

}  // namespace delivery_detail

uint32_t transfer_hold_depth() { return g_hold_count; }

void release_transfer_holds(uint32_t depth) {
  // Unlisted before the release: a final release may run code that holds anew.
  while (g_hold_count > depth) {
    IUnknown* p = g_holds[--g_hold_count];
    p->Release();
  }
}
