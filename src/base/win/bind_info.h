// Owns what a GetBindInfo call hands over: the caller of GetBindInfo must
// give back the medium, the texts and pUnk exactly once, as urlmon's
// ReleaseBindInfo does.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include "base/win/held_ref.h"

namespace base::win {

namespace bind_info_detail {

inline void clear(BINDINFO* info) {
  ZeroMemory(info, sizeof *info);
  info->cbSize = sizeof *info;
}

// Cleared first: releasing the medium or pUnk may run the caller's code.
inline void release(BINDINFO* info) {
  BINDINFO old = *info;
  clear(info);
  if (old.szExtraInfo) CoTaskMemFree(old.szExtraInfo);
  if (old.szCustomVerb) CoTaskMemFree(old.szCustomVerb);
  if (old.stgmedData.tymed != TYMED_NULL) ReleaseStgMedium(&old.stgmedData);
  if (old.pUnk) old.pUnk->Release();
}

inline void release_block(void* block) {
  release(static_cast<BINDINFO*>(block));
  GlobalFree(block);
}

inline BINDINFO* new_block() {
  auto* info = static_cast<BINDINFO*>(GlobalAlloc(GMEM_FIXED, sizeof(BINDINFO)));
  if (info) clear(info);
  return info;
}

}  // namespace bind_info_detail

// For an object that outlives one message.
class ScopedBindInfo {
 public:
  ScopedBindInfo() { bind_info_detail::clear(&info_); }
  ScopedBindInfo(const ScopedBindInfo&) = delete;
  ScopedBindInfo& operator=(const ScopedBindInfo&) = delete;
  ~ScopedBindInfo() { reset(); }

  const BINDINFO& get() const { return info_; }
  // For GetBindInfo: gives back what is held, then hands out a cleared
  // structure with its size set.
  BINDINFO* receive() {
    reset();
    return &info_;
  }
  void reset() { bind_info_detail::release(&info_); }

 private:
  BINDINFO info_;
};

// For a frame that calls the control's GetBindInfo: a fault inside the call
// abandons the frame after the control has filled the structure, so the
// structure lives in its own block, listed in the held-reference table.
class HeldBindInfo : public HeldSlot<void*> {
 public:
  HeldBindInfo() : HeldSlot(bind_info_detail::new_block(), bind_info_detail::release_block) {}

  // Cleared, with its size set; null when no block could be had.
  BINDINFO* get() const { return static_cast<BINDINFO*>(value()); }
};

}  // namespace base::win
