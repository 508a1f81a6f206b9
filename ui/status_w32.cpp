#include <windows.h>

#include "diag/status.h"
#include "ui/app.h"

void status_show(const char* text) { SetDlgItemTextA(main_dialog, ID_STATUS, text); }
