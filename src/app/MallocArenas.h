#pragma once

namespace quorlinth {

// Caps glibc's per-thread heaps. Every session starts and ends dozens of streaming threads; with
// the default (eight heaps per core) each keeps the memory its threads freed, and a host serving
// session after session grew by about 100 MiB over 1,000 sessions. Two heaps keep it flat.
void limitMallocArenas();

} // namespace quorlinth
