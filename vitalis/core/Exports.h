// The module's exported C entry points (undecorated, C calling convention).
#pragma once

#include "core/Win.h"

#define VITALIS_EXPORT __attribute__((visibility("default")))

extern "C" {
// 0 started; 1 an instance already runs; 3 out of memory; 5 a thread could not be started;
// any other value is the failure code of the start-up configuration tests.
VITALIS_EXPORT DWORD StartVitalisDLL();
// 1 when the running instance was shut down, else 0.
VITALIS_EXPORT DWORD StopVitalisDLL();
// 1 when "TxMode" was written.
VITALIS_EXPORT DWORD SetReportingMode(LONG mode);
}

class CDAKDllMain;
// Module-internal: the instance started by StartVitalisDLL (null when none).
CDAKDllMain* GetCurrentInstance();
// Module-internal: lets the next entry call read the trace settings from the registry again.
void ResetModuleTrace();
