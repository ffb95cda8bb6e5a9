// Control identifiers of the patcher window.
#pragma once

#define IDD_FRMMAIN 100
#define IDB_LOGO 101

#define IDC_LBLTITLE 1001
#define IDC_LBLFOUND 1002
#define IDC_LBLORVPATH 1003
#define IDC_TXTINFO 1004
#define IDC_IMLOGO 1005
#define IDC_CMDAPPLY 1006
#define IDC_CMDCANCEL IDCANCEL
// Working indicator shown under the update information while an apply runs.
#define IDC_PRGWORKING 1007
#define IDC_LBLSTATUS 1008
