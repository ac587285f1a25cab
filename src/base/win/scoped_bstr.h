// Owns a BSTR: made right before a call, freed right after it.
#pragma once

#include <oleauto.h>

namespace base::win {

class ScopedBstr {
 public:
  ScopedBstr() = default;
  explicit ScopedBstr(const wchar_t* text) : bstr_(SysAllocString(text)) {}
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  ~ScopedBstr() { SysFreeString(bstr_); }

  BSTR get() const { return bstr_; }
  // For out parameters; frees what was held.
  BSTR* receive() {
    SysFreeString(bstr_);
    bstr_ = nullptr;
    return &bstr_;
  }

 private:
  BSTR bstr_ = nullptr;
};

}  // namespace base::win
