// Run-time binding of one of the product family's libraries, loaded by its file name.
#pragma once

#include <winport/types.h>

class CLoadableModule {
 public:
  explicit CLoadableModule(const char* fileName);
  virtual ~CLoadableModule();
  CLoadableModule(const CLoadableModule&) = delete;
  CLoadableModule& operator=(const CLoadableModule&) = delete;

  // Loads the library and binds the entry points the subclass needs.
  virtual winport::BOOL Load() = 0;

  // Loads the file unless a module is loaded already; true when one is loaded afterwards.
  winport::BOOL LoadLibraryFile();
  // Frees the module; false when nothing was loaded or freeing failed.
  winport::BOOL FreeLibraryFile();
  // The exported function of that name; null when nothing is loaded or the name is missing.
  void* GetEntryPoint(const char* name);

  winport::HMODULE GetModuleHandle() const { return m_hModule; }
  winport::DWORD GetLastLoadError() const { return m_dwLastLoadError; }
  winport::BOOL AreEntryPointsBound() const { return m_bEntryPointsBound; }
  const char* GetFileName() const { return m_szFileName; }

 protected:
  char m_szFileName[winport::MAX_PATH + 1];
  winport::HMODULE m_hModule;
  winport::DWORD m_dwLastLoadError;
  winport::BOOL m_bEntryPointsBound;
};
