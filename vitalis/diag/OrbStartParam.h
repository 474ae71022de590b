// The start-parameter record under "ORBStart\SHOWPROPS" that makes the navigator show its
// webcast properties at its next start. Only the removal and the check are here yet; creating
// the record belongs with the corrective actions (NOT DONE YET).
#pragma once

#include "core/Win.h"

class COrbStartParam {
 public:
  COrbStartParam() = default;
  // Deletes "SOFTWARE\Tessaline\Orbilink\ORBStart\SHOWPROPS"; 1 when it was deleted.
  BOOL DeleteKey();
  // 1 when "SOFTWARE\Tessaline\Orbilink\ORBStart\SHOWPROPS" can be opened for reading.
  BOOL IfOrbKeyExists();
};
