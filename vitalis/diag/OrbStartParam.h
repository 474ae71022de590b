// The start-parameter record under "ORBStart\SHOWPROPS" that makes the navigator show its
// webcast properties at its next start: five texts of 260 bytes, each stored as a REG_SZ of the
// whole field (text and zero padding).
#pragma once

#include "core/Win.h"

class COrbStartParam {
 public:
  COrbStartParam() = default;
  // Creates "ORBStart\SHOWPROPS" with its five values; 1 on success.
  BOOL CreateKey();
  // Deletes "SOFTWARE\Tessaline\Orbilink\ORBStart\SHOWPROPS"; 1 when it was deleted.
  BOOL DeleteKey();
  // 1 when "SOFTWARE\Tessaline\Orbilink\ORBStart\SHOWPROPS" can be opened for reading.
  BOOL IfOrbKeyExists();
  // "MainDirectory" of "SOFTWARE\Tessaline\Orbilink" into `path` (`size` bytes); 0, with an
  // empty path, when it is missing or does not fit.
  BOOL GetInstallPath(char* path, DWORD size);

  static constexpr DWORD kFieldSize = 260;
  char ExePath[kFieldSize] = {};
  char CmdLine[kFieldSize] = {};
  char MUTEX[kFieldSize] = {};
  char StartDelay[kFieldSize] = {};
  char StartPref[kFieldSize] = {};

 private:
  BOOL CreateKeyValues(HKEY key);
};
