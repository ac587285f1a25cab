// What the loader reads a package from: a Windows file in the player, a
// Linux file or a memory buffer in the packer and the tests.
#pragma once

#include <cstdint>

struct PackageSource {
  void* context;
  // The low 32 bits of the file size, taken as signed.
  int32_t size;
  // Reads up to len bytes at offset into buf: the count read, or -1 when the
  // read fails. A short count means the end of the file was reached.
  int32_t (*read_at)(void* context, int64_t offset, void* buf, int32_t len);
};

// Fills the player state from the package in source: 1 when a package was
// loaded, 0 when there is none or it is damaged.
int load_package_from(const PackageSource& source);

// Test support: the sizes of a window's first read and of the read ahead
// over small entries. Results must not depend on them.
void set_loader_read_sizes_for_test(int32_t first, int32_t ahead);

// A source over bytes in memory; counts the bytes it hands out.
struct MemorySource {
  const uint8_t* data;
  int64_t size;
  int64_t bytes_read;
  int32_t reads;
};
PackageSource memory_source(MemorySource* memory);
