#pragma once

#include <string>
#include <vector>

namespace quorlinth {

struct SavedAccountChoice;

// True when `a` sorts before `b` the way a file browser lists names: digit runs by numeric
// value, case and accents of secondary weight ignored, in the user's locale.
bool usernameOrderedBefore(const std::string& a, const std::string& b);

// Stable: equal names keep their order.
void sortByUsername(std::vector<SavedAccountChoice>& choices);

} // namespace quorlinth
