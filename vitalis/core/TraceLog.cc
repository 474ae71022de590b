// The module's trace log: one stream, one lock, two writers (see TraceLog.h).
#include "core/TraceLog.h"

#include <winport/clock.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/sync.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "core/Win.h"

namespace {

// The lock exists for the whole process: any thread may write a line at any time, also while
// another one closes the log or before the log was set up. m_csInitted only records whether
// the log was set up since the last Close (a writer coming first leaves a note).
std::mutex s_lock;
std::FILE* s_pFile = nullptr;
DWORD s_dwLineCount = 0;
std::atomic<DWORD> s_dwMaxLines{5000};
bool m_csInitted = false;
std::atomic<int> s_nTraceLevel{2};
bool s_bFlush = true;
char s_szFileName[MAX_PATH] = "TraceLog.txt";
bool s_bNameCleared = false;
bool s_bBackup = false;

constexpr int kErrorLevel = 2;
constexpr int kInfoLevel = 8;

// The trace file name, or `fallback` when none is set, followed by `suffix`.
std::string NameWith(const char* fallback, const char* suffix) {
  std::string name = s_szFileName[0] != '\0' ? s_szFileName : fallback;
  return name + suffix;
}

}  // namespace

void CTraceLog::Init(bool backup) {
  std::lock_guard lock(s_lock);
  if (!m_csInitted) {
    m_csInitted = true;
    s_bBackup = backup;
  }
  if (!s_bNameCleared) {
    s_szFileName[0] = '\0';
    s_bNameCleared = true;
    s_bBackup = backup;
  }
}

int CTraceLog::SetTraceFileName(const char* name) {
  if (name == nullptr) return -1;
  std::size_t length = std::strlen(name) + 1;
  if (length <= 1 || length > MAX_PATH) return -1;
  std::lock_guard lock(s_lock);
  std::memcpy(s_szFileName, name, length);
  return 1;
}

void CTraceLog::SetTraceFileLen(DWORD lines) {
  std::lock_guard lock(s_lock);
  if (lines < s_dwMaxLines) {
    if (s_pFile != nullptr) {
      std::fclose(s_pFile);
      s_pFile = OpenHostFile(s_szFileName, "w+");
    }
    s_dwLineCount = 1;
  }
  s_dwMaxLines = lines;
}

void CTraceLog::SetTraceLevel(int level) {
  s_nTraceLevel = level;
}

int CTraceLog::GetTraceLevel() {
  return s_nTraceLevel;
}

DWORD CTraceLog::GetTraceFileLen() {
  return s_dwMaxLines;
}

void CTraceLog::GetTraceFileName(char* buffer, unsigned size) {
  if (buffer == nullptr || size == 0) return;
  std::lock_guard lock(s_lock);
  std::snprintf(buffer, size, "%s", s_szFileName);
}

void CTraceLog::Close() {
  std::lock_guard lock(s_lock);
  if (s_pFile != nullptr) {
    std::fclose(s_pFile);
    s_pFile = nullptr;
  }
  m_csInitted = false;
}

void CTraceLog::LogToFile(const char* levelWord, DWORD code, const char* format,
                          va_list arguments) {
  std::lock_guard lock(s_lock);
  if (!m_csInitted) {
    if (std::FILE* note = OpenHostFile(s_szFileName, "w+")) {
      std::fputs("CTraceLog::LogToFile, m_csInitted not initted\n", note);
      std::fclose(note);
    }
    m_csInitted = true;
  }
  if (s_pFile == nullptr) {
    s_pFile = OpenHostFile(s_szFileName, "w");
    if (s_pFile == nullptr) return;
  }
  std::tm now = LocalTime(Now());
  char date[16];
  char time[16];
  std::strftime(date, sizeof date, "%m/%d/%y", &now);
  std::strftime(time, sizeof time, "%H:%M:%S", &now);
  std::fprintf(s_pFile, "[%u]:%s %s: %s->", s_dwLineCount, date, time, levelWord);
  ++s_dwLineCount;

  if (code == 0) {
    std::vfprintf(s_pFile, format, arguments);
    std::fputc('\n', s_pFile);
  } else {
    std::string text;
    if (ErrorMessageText(code, &text)) {
      std::vfprintf(s_pFile, format, arguments);
      std::fprintf(s_pFile, " failed. %s (0x%x)\n", text.c_str(), code);
    } else {
      std::fputs("GetLastError returned NULL\n", s_pFile);
    }
  }
  if (s_bFlush) std::fflush(s_pFile);
  // Wrap by line count: later lines overwrite the oldest in place. A limit of 0 never wraps.
  const DWORD limit = s_dwMaxLines;
  if (limit != 0 && s_dwLineCount % limit == 0) std::fseek(s_pFile, 0, SEEK_SET);
}

namespace {

// CheckForTraceFile's work, with the lock held.
bool CheckForTraceFileLocked() {
  if (!m_csInitted) {
    std::string err = NameWith("CTraceLog", ".err");
    if (std::FILE* note = OpenHostFile(err.c_str(), "a+")) {
      std::fputs("CTraceLog::CheckForTraceFile : m_csInitted not initted\n", note);
      std::fclose(note);
    }
    m_csInitted = true;
  }
  if (s_pFile == nullptr) {
    std::string txt = NameWith("CTraceLog", ".txt");
    s_pFile = OpenHostFile(txt.c_str(), "a+");
  }
  return s_pFile != nullptr;
}

}  // namespace

bool CTraceLog::CheckForTraceFile() {
  std::lock_guard lock(s_lock);
  return CheckForTraceFileLocked();
}

void CTraceLog::WriteShortLine(const char* message) {
  // One hold of the lock, so that a Close from another thread cannot come in between.
  std::lock_guard lock(s_lock);
  if (CheckForTraceFileLocked()) {
    // asctime: "Sun Dec  6 13:45:07 2026"; characters 11 to 19 are the time and a blank.
    std::string stamp = AscTime(Now());
    std::string time = stamp.size() >= 20 ? stamp.substr(11, 9) : std::string("00:00:00 ");
    std::fprintf(s_pFile, "     %s%s\n", time.c_str(), message != nullptr ? message : "");
    std::fflush(s_pFile);
  }
}

void CTraceLog::Fatal(const char* message) {
  LogLine(message);
  LogLine("Service\tname is not specified");
  // The host learns of the failure through the exit status. Other threads of the host and of
  // this module still run, so no exit handlers or static destructors are run under them:
  // streams are flushed by hand and the process ends at once.
  std::fflush(nullptr);
  std::_Exit(EXIT_FAILURE);
}

void CTraceLog::Assert(bool condition, const char* message) {
  if (!condition) Fatal(message);
}

namespace {

void LogToFileWith(const char* levelWord, DWORD code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void LogToFileWith(const char* levelWord, DWORD code, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  CTraceLog::LogToFile(levelWord, code, format, arguments);
  va_end(arguments);
}

}  // namespace

void LogError(const char* message, DWORD code) {
  if (s_nTraceLevel < kErrorLevel) return;
  LogToFileWith("Error", code, "%s", message != nullptr ? message : "");
}

void LogInfo(const char* message, DWORD code) {
  if (s_nTraceLevel < kInfoLevel) return;
  LogToFileWith("Info", code, "%s", message != nullptr ? message : "");
}

void LogErrorF(const char* format, ...) {
  if (s_nTraceLevel < kErrorLevel) return;
  va_list arguments;
  va_start(arguments, format);
  CTraceLog::LogToFile("Error", 0, format, arguments);
  va_end(arguments);
}

void LogInfoF(const char* format, ...) {
  if (s_nTraceLevel < kInfoLevel) return;
  va_list arguments;
  va_start(arguments, format);
  CTraceLog::LogToFile("Info", 0, format, arguments);
  va_end(arguments);
}

void LogLine(const char* message) {
  CTraceLog::WriteShortLine(message);
}

void LogLineInfo(const char* message) {
  if (s_nTraceLevel >= kInfoLevel) LogLine(message);
}

void LogLineError(const char* message) {
  if (s_nTraceLevel >= kErrorLevel) LogLine(message);
}
