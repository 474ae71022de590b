#include "winport/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "file_internal.h"
#include "winport/error.h"
#include "winport/path.h"
#include "winport/system.h"
#include "winport/text.h"
#include "winport/unique_fd.h"

namespace winport {
namespace {

constexpr const char* kBlanks = " \t\r";
constexpr const char* kLineEnd = "\r\n";

std::string Trimmed(std::string_view s) {
  return std::string(Trim(s, kBlanks));
}

bool SameName(std::string_view a, std::string_view b) {
  return EqualsNoCase(Trim(a, kBlanks), Trim(b, kBlanks));
}

// One line of the file with its own line end ("\r\n", "\n" or none on a last line), so that
// lines we do not touch are written back exactly as they were.
struct Line {
  std::string text;
  std::string end;

  enum Kind { kOther, kSection, kKey };
  Kind kind = kOther;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, raw (after the first '=')
};

void Classify(Line* line) {
  std::size_t b = line->text.find_first_not_of(kBlanks);
  if (b == std::string::npos) return;
  if (line->text[b] == '[') {
    std::size_t close = line->text.find(']', b + 1);
    line->kind = Line::kSection;
    line->name =
        Trimmed(std::string_view(line->text)
                    .substr(b + 1, close == std::string::npos ? std::string::npos : close - b - 1));
    return;
  }
  if (line->text[b] == ';') return;  // comment
  std::size_t eq = line->text.find('=', b);
  if (eq == std::string::npos) return;
  line->kind = Line::kKey;
  line->name = Trimmed(std::string_view(line->text).substr(b, eq - b));
  line->value = line->text.substr(eq + 1);
}

std::vector<Line> Parse(const std::string& content) {
  std::vector<Line> lines;
  std::size_t i = 0;
  while (i < content.size()) {
    std::size_t nl = content.find('\n', i);
    Line line;
    if (nl == std::string::npos) {
      line.text = content.substr(i);
      i = content.size();
    } else {
      line.text = content.substr(i, nl - i);
      line.end = "\n";
      if (!line.text.empty() && line.text.back() == '\r') {
        line.text.pop_back();
        line.end = "\r\n";
      }
      i = nl + 1;
    }
    Classify(&line);
    // A value that ends in a line feed is written as its bytes and then CR LF. Those three
    // bytes end the one key line, so a key added later goes behind them, not between them.
    if (line.kind == Line::kKey && line.end == "\n" && content.compare(i, 2, "\r\n") == 0) {
      line.end = "\n\r\n";
      i += 2;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string Render(const std::vector<Line>& lines) {
  std::string out;
  for (const Line& l : lines) out += l.text + l.end;
  return out;
}

Line MakeLine(std::string text) {
  Line line;
  line.text = std::move(text);
  line.end = kLineEnd;
  Classify(&line);
  return line;
}

// [begin, end) of the lines of the first section named `section` (begin is its header), or
// nullopt. When `from` is given the search starts there.
std::optional<std::pair<std::size_t, std::size_t>> FindSection(const std::vector<Line>& lines,
                                                               std::string_view section,
                                                               std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (lines[i].kind != Line::kSection || !SameName(lines[i].name, section)) continue;
    std::size_t end = i + 1;
    while (end < lines.size() && lines[end].kind != Line::kSection) ++end;
    return std::make_pair(i, end);
  }
  return std::nullopt;
}

// The value as the reading functions give it: blanks trimmed, enclosing quotes removed.
std::string Unquote(std::string_view raw) {
  std::string v = Trimmed(raw);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

std::string ProfilePath(const char* fileName) {
  std::string name(fileName);
  if (name.find_first_of("\\/") == std::string::npos && !(name.size() >= 2 && name[1] == ':')) {
    char dir[MAX_PATH];
    UINT n = GetWindowsDirectoryA(dir, sizeof dir);
    if (n > 0 && n < sizeof dir) name = std::string(dir, n) + "\\" + name;
  }
  return HostPath(name);
}

bool ReadAll(int fd, std::string* out) {
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<std::size_t>(n));
  }
}

// The file's lines, or nullopt when it cannot be read (missing, a directory, ...).
std::optional<std::vector<Line>> Load(const char* fileName) {
  if (!fileName || !*fileName) return std::nullopt;
  UniqueFd fd(::open(ProfilePath(fileName).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string content;
  if (!ReadAll(fd.get(), &content)) return std::nullopt;
  return Parse(content);
}

// Copies a single string with the reading functions' truncation: returns what was copied.
DWORD CopyString(const std::string& s, char* out, DWORD size) {
  if (!out || size == 0) return 0;
  std::size_t n = std::min<std::size_t>(s.size(), size - 1);
  std::memcpy(out, s.data(), n);
  out[n] = '\0';
  return static_cast<DWORD>(n);
}

// Copies NUL-separated strings followed by a final NUL. A list that does not fit is cut, ends
// in two NULs and gives size - 2.
DWORD CopyList(const std::vector<std::string>& items, char* out, DWORD size) {
  if (!out || size == 0) return 0;
  std::string all;
  for (const std::string& s : items) {
    all += s;
    all += '\0';
  }
  if (all.size() + 1 <= size) {
    std::memcpy(out, all.data(), all.size());
    out[all.size()] = '\0';
    if (all.empty() && size > 1) out[1] = '\0';
    return static_cast<DWORD>(all.size());
  }
  if (size < 2) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, all.data(), size - 2);
  out[size - 2] = '\0';
  out[size - 1] = '\0';
  return size - 2;
}

// Runs `edit` on the file's lines under an exclusive lock and replaces the file with the
// result in one step. The lock is taken on the file itself; since every write puts a new file
// in place, a writer that was waiting checks that it still holds the current one.
bool Update(const char* fileName, bool (*edit)(std::vector<Line>&, const void*),
            const void* context) {
  std::string path = ProfilePath(fileName);
  UniqueFd fd;
  bool created = false;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    struct stat before;
    bool existed = ::stat(path.c_str(), &before) == 0;
    fd.reset(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) {
      int err = errno;
      SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
      return false;
    }
    struct stat held, now;
    if (::flock(fd.get(), LOCK_EX) == 0 && ::fstat(fd.get(), &held) == 0 &&
        ::stat(path.c_str(), &now) == 0 && held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
      if (S_ISDIR(held.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
      }
      created = !existed;
      break;
    }
    fd.reset();
  }
  if (!fd) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }

  std::string content;
  if (!ReadAll(fd.get(), &content)) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  std::vector<Line> lines = Parse(content);
  if (!edit(lines, context)) return false;
  std::string result = Render(lines);
  if (result == content) {
    if (created && result.empty()) ::unlink(path.c_str());  // nothing was written after all
    return true;
  }

  std::filesystem::path target(path);
  std::string temp =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  UniqueFd out(::mkstemp(temp.data()));
  if (!out) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  struct stat mode;
  if (::fstat(fd.get(), &mode) == 0) ::fchmod(out.get(), mode.st_mode & 07777);
  bool ok = true;
  for (std::size_t off = 0; ok && off < result.size();) {
    ssize_t n = ::write(out.get(), result.data() + off, result.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      ok = false;
    else
      off += static_cast<std::size_t>(n);
  }
  int err = errno;
  // No flush to the disk here: the rename alone keeps readers and crashed writers from ever
  // seeing half a file, and a report record is a dozen profile writes, each of which would
  // otherwise wait for the disk.
  if (out.close() != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    if (created && content.empty()) ::unlink(path.c_str());
    SetLastError(ErrorFromErrno(err));
  }
  return ok;
}

struct KeyWrite {
  const char* section;
  const char* key;    // null: delete the section
  const char* value;  // null: delete the key
};

// New sections go at the end, after a blank line when the file has content.
void AppendSection(std::vector<Line>& lines, const std::string& section) {
  if (!lines.empty()) {
    if (lines.back().end.empty()) lines.back().end = kLineEnd;
    if (lines.back().kind != Line::kOther || !Trimmed(lines.back().text).empty())
      lines.push_back(MakeLine(""));
  }
  lines.push_back(MakeLine("[" + section + "]"));
}

bool EditKey(std::vector<Line>& lines, const void* context) {
  const auto& w = *static_cast<const KeyWrite*>(context);
  if (!w.key) {
    while (auto span = FindSection(lines, w.section))
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(span->first),
                  lines.begin() + static_cast<std::ptrdiff_t>(span->second));
    return true;
  }
  auto span = FindSection(lines, w.section);
  if (!w.value) {
    if (!span) return true;
    for (std::size_t i = span->second; i-- > span->first + 1;)
      if (lines[i].kind == Line::kKey && SameName(lines[i].name, w.key))
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  if (!span) {
    AppendSection(lines, w.section);
    lines.push_back(MakeLine(std::string(w.key) + "=" + w.value));
    return true;
  }
  std::size_t insertAfter = span->first;
  for (std::size_t i = span->first + 1; i < span->second; ++i) {
    if (lines[i].kind != Line::kKey) continue;
    if (SameName(lines[i].name, w.key)) {
      // Replaced in place: the key keeps its spelling and position, only the value changes.
      std::string head = lines[i].text.substr(0, lines[i].text.find('=') + 1);
      std::string end = lines[i].end.empty() ? std::string() : std::string(kLineEnd);
      lines[i] = MakeLine(head + w.value);
      lines[i].end = end;
      return true;
    }
    insertAfter = i;
  }
  if (lines[insertAfter].end.empty()) lines[insertAfter].end = kLineEnd;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAfter + 1),
               MakeLine(std::string(w.key) + "=" + w.value));
  return true;
}

struct SectionWrite {
  const char* section;
  std::vector<std::string> lines;
};

bool EditSection(std::vector<Line>& lines, const void* context) {
  const auto& w = *static_cast<const SectionWrite*>(context);
  auto span = FindSection(lines, w.section);
  if (!span) {
    AppendSection(lines, w.section);
    for (const std::string& l : w.lines) lines.push_back(MakeLine(l));
    return true;
  }
  // The section's old lines go; blank lines that set it apart from the next one stay.
  std::size_t end = span->second;
  while (end > span->first + 1 && lines[end - 1].kind == Line::kOther &&
         Trimmed(lines[end - 1].text).empty())
    --end;
  if (lines[span->first].end.empty()) lines[span->first].end = kLineEnd;
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(span->first + 1),
              lines.begin() + static_cast<std::ptrdiff_t>(end));
  std::vector<Line> fresh;
  for (const std::string& l : w.lines) fresh.push_back(MakeLine(l));
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(span->first + 1), fresh.begin(),
               fresh.end());
  return true;
}

}  // namespace

DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultValue,
                               char* returnedString, DWORD size, const char* fileName) {
  if (!returnedString || size == 0) return 0;
  auto lines = Load(fileName);
  if (!appName) {
    std::vector<std::string> names;
    if (lines)
      for (const Line& l : *lines)
        if (l.kind == Line::kSection) names.push_back(l.name);
    return CopyList(names, returnedString, size);
  }
  auto span = lines ? FindSection(*lines, appName) : std::nullopt;
  if (!keyName) {
    std::vector<std::string> keys;
    if (span)
      for (std::size_t i = span->first + 1; i < span->second; ++i)
        if ((*lines)[i].kind == Line::kKey) keys.push_back((*lines)[i].name);
    return CopyList(keys, returnedString, size);
  }
  if (span)
    for (std::size_t i = span->first + 1; i < span->second; ++i)
      if ((*lines)[i].kind == Line::kKey && SameName((*lines)[i].name, keyName))
        return CopyString(Unquote((*lines)[i].value), returnedString, size);
  // The default loses its trailing blanks.
  std::string def = defaultValue ? defaultValue : "";
  def.erase(def.find_last_not_of(' ') + 1);
  return CopyString(def, returnedString, size);
}

UINT GetPrivateProfileIntA(const char* appName, const char* keyName, INT defaultValue,
                           const char* fileName) {
  if (!appName || !keyName) return static_cast<UINT>(defaultValue);
  char buf[256];
  DWORD n = GetPrivateProfileStringA(appName, keyName, "", buf, sizeof buf, fileName);
  if (n == 0) return static_cast<UINT>(defaultValue);
  const char* p = buf;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  unsigned long long v = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    v = v * 10 + static_cast<unsigned>(*p++ - '0');
    if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;  // saturate rather than wrap on absurd values
  }
  UINT r = static_cast<UINT>(v);
  return negative ? 0u - r : r;
}

BOOL WritePrivateProfileStringA(const char* appName, const char* keyName, const char* value,
                                const char* fileName) {
  if (!fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!appName) {
    if (keyName || value) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return TRUE;  // flushing the cache: every write already is on disk
  }
  KeyWrite w{appName, keyName, value};
  return Update(fileName, EditKey, &w) ? TRUE : FALSE;
}

DWORD GetPrivateProfileSectionA(const char* appName, char* returnedString, DWORD size,
                                const char* fileName) {
  if (!returnedString || size == 0) return 0;
  std::vector<std::string> items;
  auto lines = Load(fileName);
  if (lines && appName)
    if (auto span = FindSection(*lines, appName))
      for (std::size_t i = span->first + 1; i < span->second; ++i)
        if ((*lines)[i].kind == Line::kKey) items.push_back(Trimmed((*lines)[i].text));
  return CopyList(items, returnedString, size);
}

DWORD GetPrivateProfileSectionNamesA(char* returnedString, DWORD size, const char* fileName) {
  return GetPrivateProfileStringA(nullptr, nullptr, nullptr, returnedString, size, fileName);
}

BOOL WritePrivateProfileSectionA(const char* appName, const char* lines, const char* fileName) {
  if (!appName || !fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!lines) {
    KeyWrite w{appName, nullptr, nullptr};
    return Update(fileName, EditKey, &w) ? TRUE : FALSE;
  }
  SectionWrite w{appName, {}};
  for (const char* p = lines; *p; p += std::strlen(p) + 1) w.lines.emplace_back(p);
  return Update(fileName, EditSection, &w) ? TRUE : FALSE;
}

}  // namespace winport
