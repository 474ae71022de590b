// Libraries loaded at run time by their Windows file name. "VESDD32.DLL" finds libvesdd32.so:
// the name is lower-cased, ".dll", ".ocx" and ".drv" become ".so" and "lib" is put in front
// (an exact file name or a path is also accepted). The search runs through
// WINPORT_LIBRARY_PATH (colon-separated), the build's library directory, then the directory
// of libwinport itself.
#pragma once

#include <string>
#include <string_view>

#include "winport/types.h"

namespace winport {

using FARPROC = void (*)();

// Null with ERROR_MOD_NOT_FOUND (or ERROR_BAD_FORMAT for a file that is not a library).
HMODULE LoadLibraryA(const char* fileName);
// Null with ERROR_PROC_NOT_FOUND when the entry point is missing.
FARPROC GetProcAddress(HMODULE module, const char* procName);
BOOL FreeLibrary(HMODULE module);
// The file of a module (null: the running program), in Windows form where it lies in the prefix.
DWORD GetModuleFileNameA(HMODULE module, char* fileName, DWORD size);
// An already loaded module by name (null: the running program); no reference is added.
HMODULE GetModuleHandleA(const char* moduleName);

constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;
// With FROM_ADDRESS, `moduleName` is an address inside the module wanted.
BOOL GetModuleHandleExA(DWORD flags, const char* moduleName, HMODULE* module);

// The host file name a Windows library name is looked for under ("VESDD32.DLL" ->
// "libvesdd32.so").
std::string LibraryFileName(std::string_view windowsName);

}  // namespace winport
