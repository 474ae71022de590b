// Registry services for winport's own tools: all-or-nothing batches and the generated views.
#pragma once

#include <string>
#include <string_view>

#include "winport/types.h"

namespace winport::detail {

// Makes every registry call of the calling thread, until Commit() or destruction, one SQLite
// transaction: either all of them reach the store or none does. Calls that fail inside it undo
// only their own changes; the caller decides whether to commit the rest.
class RegistryTransaction {
 public:
  RegistryTransaction();
  ~RegistryTransaction();
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  // ERROR_SUCCESS when the transaction began.
  LONG status() const { return m_status; }
  LONG Commit();

 private:
  LONG m_status;
  bool m_open = false;
};

// True when the key exists only as a generated view (processor information, MIME table) and
// nothing of it is stored.
bool RegKeyIsGenerated(HKEY hKey);

// The registry's case fold of a key or value name (names that fold alike are the same name).
std::string RegFoldName(std::string_view name);

}  // namespace winport::detail
