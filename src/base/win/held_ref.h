// References held across calls into foreign COM objects (the control).
//
// The message loop abandons a message whose handling raised a structured
// exception; destructors of the frames it leaves do not run. Every held
// reference is therefore also listed in one table, and the loop gives back
// whatever the frames of a message left listed (release_held_refs).
#pragma once

#include <unknwn.h>

#include <cstdint>

namespace base::win {

namespace held_ref_detail {

// Deep enough for a step inside a notification inside another step.
constexpr uint32_t CAPACITY = 64;
constexpr uint32_t NO_SLOT = UINT32_MAX;
inline IUnknown* g_table[CAPACITY];
inline uint32_t g_count;

// Lists a reference the caller owns; NO_SLOT when p is null or the table is
// full (then only its owner releases it).
inline uint32_t list(IUnknown* p) {
  if (!p || g_count == CAPACITY) return NO_SLOT;
  g_table[g_count] = p;
  return g_count++;
}

}  // namespace held_ref_detail

// How many references are listed now: take it before dispatching a message.
inline uint32_t held_ref_depth() { return held_ref_detail::g_count; }

// Releases every reference listed above depth, the latest first.
inline void release_held_refs(uint32_t depth) {
  using namespace held_ref_detail;
  // Unlisted before the release: a final release may run code that holds anew.
  while (g_count > depth) g_table[--g_count]->Release();
}

struct AdoptHold {};
constexpr AdoptHold ADOPT_HOLD{};

template <typename T>
class HeldRef {
 public:
  explicit HeldRef(T* p) : p_(p) {
    if (p_) p_->AddRef();
    slot_ = held_ref_detail::list(p_);
  }
  // Takes over a reference the caller already has, e.g. from QueryInterface.
  HeldRef(T* p, AdoptHold) : p_(p), slot_(held_ref_detail::list(p)) {}
  // Listed: also releases what frames left without their destructors listed
  // after it (an exception caught further in).
  ~HeldRef() {
    if (slot_ != held_ref_detail::NO_SLOT)
      release_held_refs(slot_);
    else if (p_)
      p_->Release();
  }

  HeldRef(const HeldRef&) = delete;
  HeldRef& operator=(const HeldRef&) = delete;

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_;
  uint32_t slot_;
};

}  // namespace base::win
