// NOT DONE YET: stand-in webcast set-up object (see WebcastSetup.h).
#include "config/WebcastSetup.h"

CWebcastSetup::CWebcastSetup() = default;
CWebcastSetup::~CWebcastSetup() = default;
void CWebcastSetup::UpdateWebcastStatus() {}
