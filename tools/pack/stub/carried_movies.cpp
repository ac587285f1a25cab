// Links the video player movie and the skin into the packer.
// TESSIVO_PLAYER_MOVIE_FILE and TESSIVO_SKIN_MOVIE_FILE name the compiled movies.
#include "pack/stub/carried_movies.h"
#include "pack/stub/incbin.h"

asm(TESSIVO_RODATA
    TESSIVO_INCBIN(tessivo_player_movie, TESSIVO_PLAYER_MOVIE_FILE)
    TESSIVO_INCBIN(tessivo_skin_movie, TESSIVO_SKIN_MOVIE_FILE)
    ".text\n");

extern "C" const uint8_t tessivo_player_movie_begin[], tessivo_player_movie_end[];
extern "C" const uint8_t tessivo_skin_movie_begin[], tessivo_skin_movie_end[];

namespace pack {

CarriedMovie carried_player_movie() {
  return {tessivo_player_movie_begin, size_t(tessivo_player_movie_end - tessivo_player_movie_begin)};
}

CarriedMovie carried_skin_movie() {
  return {tessivo_skin_movie_begin, size_t(tessivo_skin_movie_end - tessivo_skin_movie_begin)};
}

}  // namespace pack
