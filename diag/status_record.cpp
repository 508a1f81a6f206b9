#include "diag/status_record.h"

#include "diag/status.h"

static std::vector<std::string> history;

void status_show(const char* text) { history.emplace_back(text); }

const std::vector<std::string>& status_history() { return history; }

void status_history_clear() { history.clear(); }
