// Webcast set-up object: watches for the webcast service to become enabled and sets it up.
// NOT DONE YET: this is a stand-in carrying only what the module core calls.
#pragma once

#include "core/Win.h"

class CWebcastSetup {
 public:
  CWebcastSetup();
  virtual ~CWebcastSetup();
  void UpdateWebcastStatus();
};
