// The NT network driver check (Windows NT 4 only): the driver's device answers the NDIS
// statistics query for frames received.
#include "core/TraceLog.h"
#include "diag/Diagnostics.h"

BOOL CDiagnostics::VESNDISCheck() {
  LogErrorF("CDiagnostics::VESNDISCheck - VESNDIS is not configured");
  return FALSE;
}
