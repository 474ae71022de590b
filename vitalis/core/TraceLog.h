// The module's process-wide trace log. One file, one lock, written by every thread.
//
// Main writer: LogError/LogInfo (text + system error code) and LogErrorF/LogInfoF (printf).
// Error lines need trace level 2 or more, information lines level 8 or more. Each line reads
//   [counter]:MM/DD/YY HH:MM:SS: Info->text
// and the file goes back to its start after every "line limit" lines.
//
// Short-form writer: LogLine/LogLineInfo/LogLineError write five blanks, "HH:MM:SS " and the
// text, on the same lock and stream (opening "<name>.txt" when the main writer has not opened
// the file yet).
#pragma once

#include <winport/types.h>

#include <cstdarg>

// Once-per-process set-up from the registry (HealthReport key): level, line limit and the
// file name ("DllTraceFileName" when entered through the exports, "OcxTraceFileName" through
// the control). Only the first call in a process has an effect.
void InitModuleTrace(bool forDll);

class CTraceLog {
 public:
  // Configuration, in the order the module calls it.
  static void Init(bool backup);
  static int SetTraceFileName(const char* name);
  static void SetTraceFileLen(winport::DWORD lines);
  static void SetTraceLevel(int level);
  static void Close();

  static int GetTraceLevel();
  static winport::DWORD GetTraceFileLen();
  // The current file name (a copy; empty until set after Init).
  static void GetTraceFileName(char* buffer, unsigned size);

  // The main writer's worker: one line under the lock. `levelWord` is "Error" or "Info".
  static void LogToFile(const char* levelWord, winport::DWORD code, const char* format,
                        va_list arguments);

  // Short-form writer support.
  static bool CheckForTraceFile();
  static void WriteShortLine(const char* message);
  [[noreturn]] static void Fatal(const char* message);
  static void Assert(bool condition, const char* message);
};

// Main writer. `code` is a system error code (0 for none): with one, the system's text for it
// follows the message.
void LogError(const char* message, winport::DWORD code);
void LogInfo(const char* message, winport::DWORD code);
void LogErrorF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogInfoF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Short-form writer.
void LogLine(const char* message);
void LogLineInfo(const char* message);
void LogLineError(const char* message);
