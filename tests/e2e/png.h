// A minimal PNG writer: 8-bit RGB, stored (uncompressed) deflate blocks.
#pragma once

bool write_png(const wchar_t* path, int width, int height, const unsigned char* rgb);
