// Control identifiers of the patcher window.
#pragma once

#define IDD_FRMMAIN 100
