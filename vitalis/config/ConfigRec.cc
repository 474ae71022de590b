// NOT DONE YET: stand-in configuration record worker (see ConfigRec.h).
#include "config/ConfigRec.h"

CConfigRec::CConfigRec(CReportStore* store) : m_pReportStore(store) {}
CConfigRec::~CConfigRec() {
  StopAndJoin();
}
