// Owns what a GetBindInfo call hands over: the caller of GetBindInfo must
// give back the medium, the texts and pUnk exactly once, as urlmon's
// ReleaseBindInfo does.
#pragma once

#include <windows.h>
#include <urlmon.h>

namespace base::win {

class ScopedBindInfo {
 public:
  ScopedBindInfo() { clear(); }
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
  // Cleared first: releasing the medium or pUnk may run the caller's code.
  void reset() {
    BINDINFO old = info_;
    clear();
    if (old.szExtraInfo) CoTaskMemFree(old.szExtraInfo);
    if (old.szCustomVerb) CoTaskMemFree(old.szCustomVerb);
    if (old.stgmedData.tymed != TYMED_NULL) ReleaseStgMedium(&old.stgmedData);
    if (old.pUnk) old.pUnk->Release();
  }

 private:
  void clear() {
    ZeroMemory(&info_, sizeof info_);
    info_.cbSize = sizeof info_;
  }
  BINDINFO info_;
};

}  // namespace base::win
