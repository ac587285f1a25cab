// Links the stub's bytes into the packer. TESSIVO_CARRIED_STUB_FILE names a
// copy the build keeps (empty when there is no stub to carry).
#include "pack/stub/carried_stub.h"
#include "pack/stub/incbin.h"

asm(TESSIVO_RODATA TESSIVO_INCBIN(tessivo_carried_stub, TESSIVO_CARRIED_STUB_FILE) ".text\n");

extern "C" const uint8_t tessivo_carried_stub_begin[];
extern "C" const uint8_t tessivo_carried_stub_end[];

namespace pack {

const uint8_t* carried_stub_data() { return tessivo_carried_stub_begin; }
size_t carried_stub_size() { return size_t(tessivo_carried_stub_end - tessivo_carried_stub_begin); }

}  // namespace pack
