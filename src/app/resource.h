// Resource identifiers shared by the resource script and the code.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#define IDR_MANIFEST 1
#define IDI_APP_NAME "AAA"

#include "patcher/frm_main_ids.h"
#include "maker/frm_maker_ids.h"
