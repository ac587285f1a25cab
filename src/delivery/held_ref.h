// References that transfer code holds while it calls into the control.
//
// The message loop abandons a message whose handling raised a structured
// exception; destructors of the frames it leaves do not run. Every held
// reference is therefore also listed in one table, so that the loop can give
// back those of the frames it abandoned (release_transfer_holds).
#pragma once

#include <unknwn.h>

#include <cstdint>

namespace delivery_detail {

constexpr uint32_t NO_HOLD_SLOT = UINT32_MAX;

// Lists a reference the caller already owns; its slot, or NO_HOLD_SLOT when
// p is null or the table is full (then only the owner releases it).
uint32_t list_hold(IUnknown* p);
// Releases the hold in slot and every hold listed after it: those belong to
// frames left without their destructors (an exception caught further in).
void drop_hold(uint32_t slot, IUnknown* p);

}  // namespace delivery_detail

struct AdoptHold {};
constexpr AdoptHold ADOPT_HOLD{};

template <typename T>
class HeldRef {
 public:

  explicit HeldRef(T* p) : p_(p) {
    if (p_) p_->AddRef();
    slot_ = delivery_detail::list_hold(p_);
  }
  // Takes over a reference the caller already has, e.g. from QueryInterface.
  HeldRef(T* p, AdoptHold) : p_(p), slot_(delivery_detail::list_hold(p)) {}
  ~HeldRef() { delivery_detail::drop_hold(slot_, p_); }

  HeldRef(const HeldRef&) = delete;
  HeldRef& operator=(const HeldRef&) = delete;

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_;
  uint32_t slot_;
};
