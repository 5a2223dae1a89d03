#pragma once

class QVBoxLayout;

namespace quorlinth {

// Empties a column of rows that is about to be rebuilt. The widgets go later, since one of them
// may be the sender of the signal that asked for the rebuild.
void clearRows(QVBoxLayout* rows);

} // namespace quorlinth
