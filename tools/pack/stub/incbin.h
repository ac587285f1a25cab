// Assembler text that links a file's bytes into the program between two
// symbols, NAME_begin and NAME_end, in read-only data; a zero byte follows.
#pragma once

#define TESSIVO_STR2(x) #x
#define TESSIVO_STR(x) TESSIVO_STR2(x)
#define TESSIVO_SYMBOL(name) TESSIVO_STR(__USER_LABEL_PREFIX__) #name

#ifdef _WIN32
#define TESSIVO_RODATA ".section .rdata,\"dr\"\n"
#else
#define TESSIVO_RODATA ".section .rodata\n"
#endif

#define TESSIVO_INCBIN(name, file)            \
  ".balign 16\n"                              \
  ".globl " TESSIVO_SYMBOL(name##_begin) "\n" \
  TESSIVO_SYMBOL(name##_begin) ":\n"          \
  ".incbin \"" file "\"\n"                    \
  ".globl " TESSIVO_SYMBOL(name##_end) "\n"   \
  TESSIVO_SYMBOL(name##_end) ":\n"            \
  ".byte 0\n"
