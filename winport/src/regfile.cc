#include "regfile.h"

#include <cstdio>
#include <cstring>

#include "registry_internal.h"
#include "winport/error.h"
#include "winport/registry.h"
#include "winport/text.h"

namespace winport::regfile {
namespace {

struct RootInfo {
  HKEY key;
  const char* longName;
  const char* shortName;
};

const RootInfo* Roots() {
  static const RootInfo roots[] = {
      {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
      {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
      {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
      {HKEY_USERS, "HKEY_USERS", "HKU"},
  };
  return roots;
}
constexpr int kRoots = 4;

// A line's blanks, and the CR of a CR LF line end.
std::string_view TrimView(std::string_view s) {
  return Trim(s, " \t\r");
}

std::string LineError(int line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

std::string CodeText(LONG code) {
  std::string text;
  if (!ErrorMessageText(static_cast<DWORD>(code), &text)) text = "error " + std::to_string(code);
  return text;
}

// A quoted string starting at s[pos] == '"'; \\ and \" are escapes, any other backslash stands
// for itself. Leaves pos after the closing quote.
bool ParseQuoted(std::string_view s, size_t* pos, std::string* out) {
  size_t i = *pos + 1;
  out->clear();
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

std::string Escape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "01,02, ff" -> bytes. An empty list and one trailing comma are allowed.
bool ParseHexList(std::string_view s, std::string* out) {
  out->clear();
  s = TrimView(s);
  if (s.empty()) return true;
  if (s.back() == ',') s.remove_suffix(1);
  while (true) {
    size_t comma = s.find(',');
    std::string_view tok = TrimView(s.substr(0, comma));
    if (tok.empty() || tok.size() > 2) return false;
    int v = 0;
    for (char c : tok) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out->push_back(static_cast<char>(v));
    if (comma == std::string_view::npos) return true;
    s.remove_prefix(comma + 1);
  }
}

// A string stored as "text\0" with no other NUL and no line break can be written quoted;
// anything else goes out as hex so that it comes back byte for byte.
bool IsPlainString(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  data.remove_suffix(1);
  return data.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

// Deletes a key and its subtree; the caller provides the transaction.
LONG DeleteTreeIn(HKEY parent, const std::string& subKey) {
  HKEY h = nullptr;
  LONG rc = RegOpenKeyExA(parent, subKey.c_str(), 0, KEY_ALL_ACCESS, &h);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> children;
  char name[512];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    rc = RegEnumKeyExA(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) {
      RegCloseKey(h);
      return rc;
    }
    children.emplace_back(name, cch);
  }
  for (const std::string& c : children) {
    rc = DeleteTreeIn(h, c);
    if (rc != ERROR_SUCCESS) {
      RegCloseKey(h);
      return rc;
    }
  }
  RegCloseKey(h);
  return RegDeleteKeyA(parent, subKey.c_str());
}

LONG ExportKey(HKEY h, const std::string& name, bool storedOnly, std::string* out) {
  *out += FormatSection(name);
  std::string valueName(16384, '\0');
  std::string data;
  for (DWORD i = 0;; ++i) {
    DWORD cchName = static_cast<DWORD>(valueName.size());
    DWORD type = 0, cb = 0;
    LONG rc = RegEnumValueA(h, i, valueName.data(), &cchName, nullptr, &type, nullptr, &cb);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return rc;
    data.assign(cb, '\0');
    cchName = static_cast<DWORD>(valueName.size());
    rc = RegEnumValueA(h, i, valueName.data(), &cchName, nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()), &cb);
    if (rc != ERROR_SUCCESS) return rc;
    data.resize(cb);
    *out += FormatValue(std::string_view(valueName.data(), cchName), type, data);
  }
  *out += "\r\n";

  std::vector<std::string> children;
  char child[512];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof child;
    LONG rc = RegEnumKeyExA(h, i, child, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) return rc;
    children.emplace_back(child, cch);
  }
  for (const std::string& c : children) {
    HKEY sub = nullptr;
    LONG rc = RegOpenKeyExA(h, c.c_str(), 0, KEY_READ, &sub);
    if (rc == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
    if (rc != ERROR_SUCCESS) return rc;
    if (!(storedOnly && detail::RegKeyIsGenerated(sub)))
      rc = ExportKey(sub, name + "\\" + c, storedOnly, out);
    RegCloseKey(sub);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

}  // namespace

bool SplitKeyPath(std::string_view path, HKEY* root, std::string* subKey) {
  size_t slash = path.find('\\');
  std::string_view head = path.substr(0, slash);
  for (int i = 0; i < kRoots; ++i) {
    if (EqualsNoCase(head, Roots()[i].longName) || EqualsNoCase(head, Roots()[i].shortName)) {
      *root = Roots()[i].key;
      *subKey =
          slash == std::string_view::npos ? std::string() : std::string(path.substr(slash + 1));
      return true;
    }
  }
  return false;
}

std::string_view RootName(HKEY root) {
  for (int i = 0; i < kRoots; ++i)
    if (Roots()[i].key == root) return Roots()[i].longName;
  return {};
}

std::string Utf8ToUtf16le(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  auto put = [&out](char32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>((u >> 8) & 0xFF));
  };
  for (size_t i = 0; i < s.size();) {
    char32_t cp = 0;
    size_t len = DecodeUtf8(s, i, &cp);
    if (len == 0) {
      put(static_cast<unsigned char>(s[i]));  // not UTF-8: take the byte as Latin-1
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  return out;
}

bool Utf16leToUtf8(std::string_view s, std::string* out) {
  out->clear();
  if (s.size() % 2) return false;
  auto unit = [&s](size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(s[i]) |
                                 (static_cast<unsigned char>(s[i + 1]) << 8));
  };
  for (size_t i = 0; i < s.size(); i += 2) {
    char32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 2 < s.size()) {
      char32_t lo = unit(i + 2);
      if (lo >= 0xDC00 && lo < 0xE000) {
        AppendUtf8(*out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;  // a lone surrogate
    AppendUtf8(*out, u);
  }
  return true;
}

namespace {

// The parse's steps. Each reports what is wrong in `what`; Parse puts the line number before it.

// The file's encoding: UTF-16LE after its byte-order mark is converted into `converted`, a UTF-8
// byte-order mark is dropped.
bool DecodeText(std::string_view* text, std::string* converted, std::string* what) {
  if (text->size() >= 2 && static_cast<unsigned char>((*text)[0]) == 0xFF &&
      static_cast<unsigned char>((*text)[1]) == 0xFE) {
    if (!Utf16leToUtf8(text->substr(2), converted)) {
      *what = "the file ends in the middle of a UTF-16 character";
      return false;
    }
    *text = *converted;
  } else if (text->substr(0, 3) == "\xEF\xBB\xBF") {
    text->remove_prefix(3);
  }
  return true;
}

// LF-separated lines; a CR before the LF is left for TrimView.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    lines.push_back(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

// Up to eight hex digits, as in "dword:0000001f" and "hex(7)".
bool ParseHexNumber(std::string_view digits, DWORD* v) {
  if (digits.empty() || digits.size() > 8) return false;
  *v = 0;
  for (char c : digits) {
    int d = HexDigit(c);
    if (d < 0) return false;
    *v = *v * 16 + static_cast<DWORD>(d);
  }
  return true;
}

// "[HKCU\Software\X]" or "[-HKCU\Software\X]".
bool ParseSectionLine(std::string_view s, Section* sec, std::string* what) {
  if (s.back() != ']') {
    *what = "a key line must end with ']'";
    return false;
  }
  std::string_view inner = s.substr(1, s.size() - 2);
  if (!inner.empty() && inner.front() == '-') {
    sec->remove = true;
    inner.remove_prefix(1);
  }
  HKEY root;
  std::string sub;
  if (!SplitKeyPath(inner, &root, &sub)) {
    *what = "unknown root key in [" + std::string(inner) + "]";
    return false;
  }
  sec->key = std::string(inner);
  return true;
}

// "@" or a quoted name, then '='; `rest` is what follows the '='.
bool ParseValueName(std::string_view s, Entry* e, std::string_view* rest, std::string* what) {
  size_t pos = 0;
  if (s.front() == '@') {
    pos = 1;
  } else if (!ParseQuoted(s, &pos, &e->name)) {
    *what = "the value name has no closing quote";
    return false;
  }
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  if (pos >= s.size() || s[pos] != '=') {
    *what = "'=' expected after the value name";
    return false;
  }
  *rest = TrimView(s.substr(pos + 1));
  return true;
}

// "text" -> REG_SZ, stored with its terminator.
bool ParseStringData(std::string_view rest, Entry* e, std::string* what) {
  size_t p = 0;
  std::string str;
  if (!ParseQuoted(rest, &p, &str) || !TrimView(rest.substr(p)).empty()) {
    *what = "malformed string data";
    return false;
  }
  e->type = REG_SZ;
  e->data = std::move(str);
  e->data.push_back('\0');
  return true;
}

// dword:XXXXXXXX (rest without the "dword:") -> REG_DWORD, little-endian.
bool ParseDwordData(std::string_view digits, Entry* e, std::string* what) {
  DWORD v = 0;
  if (!ParseHexNumber(digits, &v)) {
    *what = "malformed dword data";
    return false;
  }
  e->type = REG_DWORD;
  for (int k = 0; k < 4; ++k) e->data.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
  return true;
}

// hex:... or hex(T):... (after the "hex"), continued over the following lines after a trailing
// backslash; `next` moves past the lines used. In a Unicode file, string types are UTF-16LE.
bool ParseHexData(std::string_view after, const std::vector<std::string_view>& lines, size_t* next,
                  bool unicode, Entry* e, std::string* what) {
  e->type = REG_BINARY;
  if (!after.empty() && after.front() == '(') {
    size_t close = after.find(')');
    if (close == std::string_view::npos || !ParseHexNumber(after.substr(1, close - 1), &e->type)) {
      *what = "malformed hex(type)";
      return false;
    }
    after.remove_prefix(close + 1);
  }
  if (after.empty() || after.front() != ':') {
    *what = "':' expected after hex";
    return false;
  }
  std::string list(after.substr(1));
  while (!TrimView(list).empty() && TrimView(list).back() == '\\') {
    list = std::string(TrimView(list));
    list.pop_back();
    if (*next >= lines.size()) {
      *what = "the file ends inside continued hex data";
      return false;
    }
    list += TrimView(lines[(*next)++]);
  }
  std::string bytes;
  if (!ParseHexList(list, &bytes)) {
    *what = "malformed hex data";
    return false;
  }
  if (unicode && (e->type == REG_SZ || e->type == REG_EXPAND_SZ || e->type == REG_MULTI_SZ)) {
    if (!Utf16leToUtf8(bytes, &e->data)) {
      *what = "string data with an odd number of bytes";
      return false;
    }
  } else {
    e->data = std::move(bytes);
  }
  return true;
}

// A value line: its name, then its data by the form the data takes ("-" deletes the value).
bool ParseValueLine(std::string_view s, const std::vector<std::string_view>& lines, size_t* next,
                    bool unicode, Entry* e, std::string* what) {
  std::string_view rest;
  if (!ParseValueName(s, e, &rest, what)) return false;
  if (rest == "-") {
    e->remove = true;
    return true;
  }
  if (!rest.empty() && rest.front() == '"') return ParseStringData(rest, e, what);
  if (rest.substr(0, 6) == "dword:") return ParseDwordData(rest.substr(6), e, what);
  if (rest.substr(0, 3) == "hex")
    return ParseHexData(rest.substr(3), lines, next, unicode, e, what);
  *what = "unrecognised value data";
  return false;
}

}  // namespace

bool Parse(std::string_view text, Document* doc, std::string* error) {
  doc->sections.clear();
  std::string converted;
  std::string what;
  if (!DecodeText(&text, &converted, &what)) {
    *error = LineError(1, what);
    return false;
  }
  std::vector<std::string_view> lines = SplitLines(text);
  std::string_view first = lines.empty() ? std::string_view() : TrimView(lines[0]);
  bool unicode = first == kHeader;
  if (!unicode && first != "REGEDIT4") {
    *error = LineError(1, "not a registry file (expected \"" + std::string(kHeader) + "\")");
    return false;
  }

  size_t next = 1;
  while (next < lines.size()) {
    int lineNo = static_cast<int>(next + 1);
    std::string_view s = TrimView(lines[next++]);
    if (s.empty() || s.front() == ';') continue;
    if (s.front() == '[') {
      Section sec;
      sec.line = lineNo;
      if (!ParseSectionLine(s, &sec, &what)) {
        *error = LineError(lineNo, what);
        return false;
      }
      doc->sections.push_back(std::move(sec));
      continue;
    }
    if (s.front() != '"' && s.front() != '@') {
      *error = LineError(lineNo, "unexpected text \"" + std::string(s.substr(0, 40)) + "\"");
      return false;
    }
    if (doc->sections.empty() || doc->sections.back().remove) {
      *error = LineError(lineNo, "a value outside of a key");
      return false;
    }
    Entry e;
    e.line = lineNo;
    if (!ParseValueLine(s, lines, &next, unicode, &e, &what)) {
      *error = LineError(lineNo, what);
      return false;
    }
    doc->sections.back().entries.push_back(std::move(e));
  }
  return true;
}

std::string FormatSection(std::string_view key) {
  return "[" + std::string(key) + "]\r\n";
}

std::string FormatValue(std::string_view name, DWORD type, std::string_view data) {
  std::string line = name.empty() ? "@=" : "\"" + Escape(name) + "\"=";
  if (type == REG_SZ && IsPlainString(data)) {
    data.remove_suffix(1);
    return line + "\"" + Escape(data) + "\"\r\n";
  }
  if (type == REG_DWORD && data.size() == 4) {
    DWORD v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(data[k]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", v);
    return line + buf + "\r\n";
  }
  std::string bytes;
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    bytes = Utf8ToUtf16le(data);
  } else {
    bytes = std::string(data);
  }
  if (type == REG_BINARY) {
    line += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", type);
    line += buf;
  }
  std::string out;
  size_t lineStart = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
    line += hex;
    if (i + 1 < bytes.size()) {
      line += ',';
      if (line.size() - lineStart > 76) {
        line += "\\\r\n  ";
        lineStart = line.size() - 2;
      }
    }
  }
  return line + "\r\n";
}

LONG Import(const Document& doc, std::string* error) {
  detail::RegistryTransaction tx;
  if (tx.status() != ERROR_SUCCESS) {
    *error = "cannot open the registry: " + CodeText(tx.status());
    return tx.status();
  }
  for (const Section& sec : doc.sections) {
    HKEY root;
    std::string sub;
    if (!SplitKeyPath(sec.key, &root, &sub)) {
      *error = LineError(sec.line, "unknown root key in [" + sec.key + "]");
      return ERROR_INVALID_DATA;
    }
    if (sec.remove) {
      LONG rc = DeleteTreeIn(root, sub);
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        *error = LineError(sec.line, "cannot delete " + sec.key + ": " + CodeText(rc));
        return rc;
      }
      continue;
    }
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) {
      *error = LineError(sec.line, "cannot create " + sec.key + ": " + CodeText(rc));
      return rc;
    }
    for (const Entry& e : sec.entries) {
      if (e.remove) {
        rc = RegDeleteValueA(h, e.name.c_str());
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
      } else {
        rc = RegSetValueExA(h, e.name.c_str(), 0, e.type,
                            reinterpret_cast<const BYTE*>(e.data.data()),
                            static_cast<DWORD>(e.data.size()));
      }
      if (rc != ERROR_SUCCESS) {
        RegCloseKey(h);
        *error =
            LineError(e.line, "cannot " + std::string(e.remove ? "delete" : "set") + " value \"" +
                                  e.name + "\" of " + sec.key + ": " + CodeText(rc));
        return rc;
      }
    }
    RegCloseKey(h);
  }
  LONG rc = tx.Commit();
  if (rc != ERROR_SUCCESS) *error = "cannot commit the import: " + CodeText(rc);
  return rc;
}

LONG Export(std::string_view keyPath, std::string* out) {
  std::string text = std::string(kHeader) + "\r\n\r\n";
  if (keyPath.empty()) {
    for (int i = 0; i < kRoots; ++i) {
      LONG rc = ExportKey(Roots()[i].key, Roots()[i].longName, true, &text);
      if (rc != ERROR_SUCCESS) return rc;
    }
  } else {
    HKEY root;
    std::string sub;
    if (!SplitKeyPath(keyPath, &root, &sub)) return ERROR_INVALID_DATA;
    while (!sub.empty() && sub.back() == '\\') sub.pop_back();
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &h);
    if (rc != ERROR_SUCCESS) return rc;
    std::string name(RootName(root));
    if (!sub.empty()) name += "\\" + sub;
    rc = ExportKey(h, name, false, &text);
    if (h != root) RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return rc;
  }
  *out = std::move(text);
  return ERROR_SUCCESS;
}

LONG DeleteTree(HKEY root, const std::string& subKey) {
  detail::RegistryTransaction tx;
  if (tx.status() != ERROR_SUCCESS) return tx.status();
  LONG rc = DeleteTreeIn(root, subKey);
  if (rc != ERROR_SUCCESS) return rc;
  return tx.Commit();
}

}  // namespace winport::regfile
