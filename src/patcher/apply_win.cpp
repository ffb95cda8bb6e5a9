// Applying the patch: stop the suite, extract, run the post-install commands, record, restart.
#include "patcher/frm_main_state_win.h"

namespace frmMain {

void cmdApply_Click(FrmMainState&) {}

}  // namespace frmMain
