#include "app/MallocArenas.h"

#include <malloc.h>

namespace quorlinth {

void limitMallocArenas() {
    mallopt(M_ARENA_MAX, 2);
}

} // namespace quorlinth
