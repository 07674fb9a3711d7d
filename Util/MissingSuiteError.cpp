#include "AEGP_SuiteHandler.h"

/* The one exception the plug-in throws: caught by the command guard in the
 * entry point and returned to the host as the command's result. */
void AEGP_SuiteHandler::MissingSuiteError() const { throw PF_Err(PF_Err_BAD_CALLBACK_PARAM); }
