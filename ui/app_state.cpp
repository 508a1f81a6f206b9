#include "ui/app.h"

HINSTANCE app_instance;
HWND main_dialog;
UpdateJob app_job;
