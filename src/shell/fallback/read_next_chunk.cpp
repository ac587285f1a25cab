#include "delivery/delivery.h"

// Stands in while the player is built without the delivery library: no
// transfer exists, so there is never a chunk to read.
void read_next_chunk(ResourceMoniker*) {}
