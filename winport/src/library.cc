#include "winport/library.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

#include "winport/error.h"
#include "winport/path.h"
#include "winport/text.h"

namespace winport {
namespace {

// Handles given out: `loaded` counts LoadLibraryA references, `known` holds every handle
// that may be passed back, so that a stray value is refused rather than handed to dlclose.
struct Modules {
  std::mutex lock;
  std::multiset<void*> loaded;
  std::set<void*> known;
};

Modules& modules() {
  static Modules* m = new Modules;  // libraries may be freed by static destructors
  return *m;
}

HMODULE ToModule(void* handle) {
  return reinterpret_cast<HMODULE>(handle);
}
void* FromModule(HMODULE module) {
  return reinterpret_cast<void*>(module);
}

void* MainProgram() {
  static void* self = ::dlopen(nullptr, RTLD_NOW);
  return self;
}

std::string ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::vector<std::string> SearchDirectories() {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("WINPORT_LIBRARY_PATH")) {
    std::string all(path);
    std::size_t i = 0;
    while (i <= all.size()) {
      std::size_t j = all.find(':', i);
      if (j == std::string::npos) j = all.size();
      if (j > i) dirs.push_back(all.substr(i, j - i));
      i = j + 1;
    }
  }
#ifdef WINPORT_BUILD_LIB_DIR
  dirs.emplace_back(WINPORT_BUILD_LIB_DIR);
#endif
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&LoadLibraryA), &info) && info.dli_fname)
    dirs.push_back(std::filesystem::path(info.dli_fname).parent_path().string());
  return dirs;
}

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The files a library name may stand for, most likely first.
std::vector<std::string> Candidates(const char* fileName) {
  std::string name(fileName);
  std::size_t cut = name.find_last_of("\\/");
  std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
  std::vector<std::string> names{LibraryFileName(base)};
  if (base != names[0]) names.push_back(base);

  std::vector<std::string> files;
  if (cut != std::string::npos) {
    std::string dir = HostPath(name.substr(0, cut + 1));
    for (const std::string& n : names) files.push_back(HostPath(dir + "/" + n));
  } else {
    for (const std::string& dir : SearchDirectories())
      for (const std::string& n : names) files.push_back(dir + "/" + n);
  }
  return files;
}

}  // namespace

std::string LibraryFileName(std::string_view windowsName) {
  std::string name = AsciiLower(windowsName);
  std::size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  if (ext == ".so" || name.find(".so.") != std::string::npos) return name;
  if (ext == ".dll" || ext == ".ocx" || ext == ".drv")
    name = name.substr(0, dot);
  else if (!ext.empty() && ext != ".")
    name = name.substr(0, dot);  // any other extension stands for the library too
  else if (ext == ".")
    name.pop_back();  // "name." means exactly "name" without the default extension
  if (name.rfind("lib", 0) != 0) name = "lib" + name;
  return name + ".so";
}

HMODULE LoadLibraryA(const char* fileName) {
  if (!fileName || !*fileName) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  bool sawFile = false;
  for (const std::string& file : Candidates(fileName)) {
    if (!IsFile(file)) continue;
    sawFile = true;
    if (void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      Modules& m = modules();
      std::lock_guard guard(m.lock);
      m.loaded.insert(handle);
      m.known.insert(handle);
      SetLastError(ERROR_SUCCESS);
      return ToModule(handle);
    }
  }
  SetLastError(sawFile ? ERROR_BAD_FORMAT : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
  void* handle = FromModule(module);
  {
    Modules& m = modules();
    std::lock_guard guard(m.lock);
    if (!handle || !m.known.count(handle)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  // Entry points by ordinal (a small integer in place of the name) do not exist here.
  if (reinterpret_cast<std::uintptr_t>(procName) < 0x10000 || !*procName) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = ::dlsym(handle, procName);
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  void* handle = FromModule(module);
  Modules& m = modules();
  {
    std::lock_guard guard(m.lock);
    auto it = m.loaded.find(handle);
    if (it == m.loaded.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    m.loaded.erase(it);
    if (!m.loaded.count(handle)) m.known.erase(handle);
  }
  ::dlclose(handle);
  return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size) {
  std::string path;
  void* handle = FromModule(module);
  if (!handle || handle == MainProgram()) {
    path = ExecutablePath();
  } else {
    {
      Modules& m = modules();
      std::lock_guard guard(m.lock);
      if (!m.known.count(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
      }
    }
    link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name)
      path = *map->l_name ? map->l_name : ExecutablePath();
  }
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  path = WindowsPath(path);
  if (!fileName || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() + 1 > size) {
    // Cut to fit, as Windows does, and say so.
    std::memcpy(fileName, path.data(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

namespace {

// A loaded module by name, with one reference taken; null when it is not loaded.
void* ReferenceLoaded(const char* moduleName) {
  if (!moduleName) return ::dlopen(nullptr, RTLD_NOW);
  for (const std::string& file : Candidates(moduleName))
    if (void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD)) return handle;
  std::string bare = LibraryFileName(moduleName);
  return ::dlopen(bare.c_str(), RTLD_NOW | RTLD_NOLOAD);
}

}  // namespace

HMODULE GetModuleHandleA(const char* moduleName) {
  if (!moduleName) {
    Modules& m = modules();
    std::lock_guard guard(m.lock);
    m.known.insert(MainProgram());
    return ToModule(MainProgram());
  }
  void* handle = ReferenceLoaded(moduleName);
  if (!handle) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  ::dlclose(handle);  // GetModuleHandle adds no reference
  Modules& m = modules();
  std::lock_guard guard(m.lock);
  m.known.insert(handle);
  return ToModule(handle);
}

BOOL GetModuleHandleExA(DWORD flags, const char* moduleName, HMODULE* module) {
  if (!module) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *module = nullptr;
  void* handle = nullptr;
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info;
    if (!::dladdr(moduleName, &info) || !info.dli_fname) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    std::string file = info.dli_fname;
    handle = file == ExecutablePath() || file.empty()
                 ? ::dlopen(nullptr, RTLD_NOW)
                 : ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  } else {
    handle = ReferenceLoaded(moduleName);
  }
  if (!handle) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  Modules& m = modules();
  {
    std::lock_guard guard(m.lock);
    m.known.insert(handle);
    if (!(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) m.loaded.insert(handle);
  }
  if (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) ::dlclose(handle);
  *module = ToModule(handle);
  return TRUE;
}

}  // namespace winport
