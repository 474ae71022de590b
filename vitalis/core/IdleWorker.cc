#include "core/IdleWorker.h"

#include <winport/sync.h>

BOOL CIdleWorker::Run() {
  m_bInitOK = TRUE;
  SetEvent(m_hInitEvent);
  while (WaitForShutDown(INFINITE)) {
  }
  return TRUE;
}
