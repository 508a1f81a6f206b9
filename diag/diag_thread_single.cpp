#include "diag/diag_thread.h"

DiagThread& diag_thread() {
  static DiagThread only{};
  return only;
}
