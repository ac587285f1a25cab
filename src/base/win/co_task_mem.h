// Owns a CoTaskMemAlloc block, such as a string a COM call hands back.
#pragma once

#include <objbase.h>

namespace base::win {

template <typename T>
class ScopedCoTaskMem {
 public:
  ScopedCoTaskMem() = default;
  explicit ScopedCoTaskMem(T* block) : block_(block) {}
  ScopedCoTaskMem(const ScopedCoTaskMem&) = delete;
  ScopedCoTaskMem& operator=(const ScopedCoTaskMem&) = delete;
  ~ScopedCoTaskMem() { reset(); }

  T* get() const { return block_; }
  T* release() {
    T* block = block_;
    block_ = nullptr;
    return block;
  }
  void reset(T* block = nullptr) {
    if (block_) CoTaskMemFree(block_);
    block_ = block;
  }
  // For out-parameters: frees what is held, then hands out the slot.
  T** receive() {
    reset();
    return &block_;
  }

 private:
  T* block_ = nullptr;
};

}  // namespace base::win
