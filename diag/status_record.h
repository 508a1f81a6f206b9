// The status field for builds without a window: every text is kept in order.
#pragma once
#include <string>
#include <vector>

const std::vector<std::string>& status_history();
void status_history_clear();
