// Owns a block from malloc (the text helpers' results among them).
#pragma once

#include <cstdlib>
#include <memory>

namespace base {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace base
