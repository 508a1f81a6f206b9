#include "diag/diag_thread.h"

DiagThread& diag_thread() {
  static thread_local DiagThread mine{};
  return mine;
}
