// Links Ruffle's files into the packer. The build names them: the compressed
// copies it made (TESSIVO_RUFFLE_*_BR) and the licences (TESSIVO_RUFFLE_*_FILE).
#include "pack/stub/carried_ruffle.h"
#include "pack/stub/incbin.h"

asm(TESSIVO_RODATA
    TESSIVO_INCBIN(tessivo_ruffle_js, TESSIVO_RUFFLE_JS_BR)
    TESSIVO_INCBIN(tessivo_ruffle_core, TESSIVO_RUFFLE_CORE_BR)
    TESSIVO_INCBIN(tessivo_ruffle_wasm, TESSIVO_RUFFLE_WASM_BR)
    TESSIVO_INCBIN(tessivo_ruffle_mit, TESSIVO_RUFFLE_MIT_FILE)
    TESSIVO_INCBIN(tessivo_ruffle_apache, TESSIVO_RUFFLE_APACHE_FILE)
    ".text\n");

#define TESSIVO_CARRIED(name) \
  extern "C" const uint8_t tessivo_##name##_begin[], tessivo_##name##_end[];
TESSIVO_CARRIED(ruffle_js)
TESSIVO_CARRIED(ruffle_core)
TESSIVO_CARRIED(ruffle_wasm)
TESSIVO_CARRIED(ruffle_mit)
TESSIVO_CARRIED(ruffle_apache)
#undef TESSIVO_CARRIED

namespace pack {
namespace {

#define TESSIVO_SPAN(name) tessivo_##name##_begin, size_t(tessivo_##name##_end - tessivo_##name##_begin)
const CarriedFile kFiles[kCarriedRuffleFiles] = {
    {"ruffle.js", "text/javascript", "br", TESSIVO_SPAN(ruffle_js)},
    {TESSIVO_RUFFLE_CORE_NAME, "text/javascript", "br", TESSIVO_SPAN(ruffle_core)},
    {TESSIVO_RUFFLE_WASM_NAME, "application/wasm", "br", TESSIVO_SPAN(ruffle_wasm)},
    {"LICENSE_MIT", "text/plain; charset=utf-8", "", TESSIVO_SPAN(ruffle_mit)},
    {"LICENSE_APACHE", "text/plain; charset=utf-8", "", TESSIVO_SPAN(ruffle_apache)},
};
#undef TESSIVO_SPAN

}  // namespace

const CarriedFile* carried_ruffle() { return kFiles; }
const char* carried_ruffle_description() { return "Ruffle " TESSIVO_RUFFLE_VERSION " " TESSIVO_RUFFLE_LICENSE; }
const char* carried_ruffle_license() { return TESSIVO_RUFFLE_LICENSE; }

}  // namespace pack
