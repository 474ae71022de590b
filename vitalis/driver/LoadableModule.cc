#include "driver/LoadableModule.h"

#include <winport/error.h>
#include <winport/library.h>

#include <cstring>

using namespace winport;

CLoadableModule::CLoadableModule(const char* fileName)
    : m_hModule(nullptr), m_dwLastLoadError(0), m_bEntryPointsBound(FALSE) {
  m_szFileName[0] = '\0';
  if (fileName != nullptr) {
    std::strncpy(m_szFileName, fileName, MAX_PATH);
    m_szFileName[MAX_PATH] = '\0';
  }
}

CLoadableModule::~CLoadableModule() {
  FreeLibraryFile();
}

BOOL CLoadableModule::LoadLibraryFile() {
  if (m_hModule == nullptr) {
    m_hModule = LoadLibraryA(m_szFileName);
    if (m_hModule == nullptr) m_dwLastLoadError = winport::GetLastError();
  }
  return m_hModule != nullptr;
}

BOOL CLoadableModule::FreeLibraryFile() {
  if (m_hModule == nullptr) return FALSE;
  BOOL freed = FreeLibrary(m_hModule);
  m_hModule = nullptr;
  return freed;
}

void* CLoadableModule::GetEntryPoint(const char* name) {
  if (m_hModule == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(m_hModule, name));
}
