// Links the stub's bytes into the packer. TESSIVO_CARRIED_STUB_FILE names a
// copy the build keeps (empty when there is no stub to carry).
#include "pack/stub/carried_stub.h"

#define TESSIVO_STR2(x) #x
#define TESSIVO_STR(x) TESSIVO_STR2(x)
#define TESSIVO_SYMBOL(name) TESSIVO_STR(__USER_LABEL_PREFIX__) #name

#ifdef _WIN32
#define TESSIVO_RODATA ".section .rdata,\"dr\"\n"
#else
#define TESSIVO_RODATA ".section .rodata\n"
#endif

asm(TESSIVO_RODATA
    ".balign 16\n"
    ".globl " TESSIVO_SYMBOL(tessivo_carried_stub_begin) "\n"
    TESSIVO_SYMBOL(tessivo_carried_stub_begin) ":\n"
    ".incbin \"" TESSIVO_CARRIED_STUB_FILE "\"\n"
    ".globl " TESSIVO_SYMBOL(tessivo_carried_stub_end) "\n"
    TESSIVO_SYMBOL(tessivo_carried_stub_end) ":\n"
    ".byte 0\n"
    ".text\n");

extern "C" const uint8_t tessivo_carried_stub_begin[];
extern "C" const uint8_t tessivo_carried_stub_end[];

namespace pack {

const uint8_t* carried_stub_data() { return tessivo_carried_stub_begin; }
size_t carried_stub_size() { return size_t(tessivo_carried_stub_end - tessivo_carried_stub_begin); }

}  // namespace pack
