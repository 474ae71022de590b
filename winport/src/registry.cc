// The registry on SQLite: <prefix>/registry.db in WAL mode, shared by every thread and process of
// the prefix. Each thread keeps its own connection with its statements prepared once; the
// path-to-key look-ups and the values read are cached and thrown away whenever anyone (this
// process or another) changes the store. Every writer bumps a counter in a small shared file
// (run/registry.seq) after it commits, so a warm read only has to compare that counter; PRAGMA
// data_version confirms a change, and is asked anyway every 100 ms in case a writer died
// between its commit and its bump.
#include "winport/registry.h"

#include <fcntl.h>
#include <locale.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry_internal.h"
#include "winport/clock.h"
#include "winport/prefix.h"
#include "winport/text.h"
#include "winport/unique_fd.h"

namespace winport {
namespace {

constexpr int kRootCount = 4;  // HKCR, HKCU, HKLM, HKU; stored key ids 1..4
constexpr int kRootClasses = 0;
constexpr int kRootMachine = 2;
constexpr int kApplicationId = 0x57505247;  // marks a database as ours
constexpr size_t kMaxKeyNameLen = 255;
constexpr size_t kMaxValueNameLen = 16383;
constexpr REGSAM kDeleteAccess = 0x00010000;
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kDeleteAccess;

// ---------------------------------------------------------------------------------------------
// Names: case-insensitive, case-preserving. The fold is the upper case of each character, as the
// NT registry compares names; UTF-8 sequences fold through the C.UTF-8 locale, other bytes
// (ASCII aside) stay as they are.

locale_t FoldLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", locale_t(0));
    return l;
  }();
  return loc;
}

std::string Fold(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      out.push_back(AsciiUpper(s[i]));
      ++i;
      continue;
    }
    char32_t cp = 0;
    size_t len = DecodeUtf8(s, i, &cp);
    if (len == 0) {
      out.push_back(s[i]);  // not UTF-8: the byte folds to itself
      ++i;
      continue;
    }
    char32_t up = cp;
    if (locale_t loc = FoldLocale())
      up = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), loc));
    AppendUtf8(out, up);
    i += len;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Generated views: processor information and the MIME table.

struct Val {
  std::string name;
  std::string fold;
  DWORD type = REG_NONE;
  std::string data;
};

std::string SzData(const std::string& text) {
  return std::string(text.data(), text.size() + 1);
}

std::string DwordData(DWORD v) {
  std::string d(4, '\0');
  for (int i = 0; i < 4; ++i) d[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return d;
}

std::string ReadSmallFile(const char* path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Trimmed(std::string_view s) {
  return std::string(Trim(s, kWhiteSpace));
}

// The processors the host describes in /proc/cpuinfo. WINPORT_CPUINFO may name another file of
// that form, read once per process, to present another machine's processors: its clock then comes
// from its "cpu MHz" lines alone, and a processor without one has no "~MHz" value.
std::vector<std::vector<Val>> LoadProcessors() {
  const char* presented = std::getenv("WINPORT_CPUINFO");
  if (presented && !*presented) presented = nullptr;
  std::vector<std::map<std::string, std::string>> blocks;
  std::istringstream in(ReadSmallFile(presented ? presented : "/proc/cpuinfo"));
  std::string line;
  std::map<std::string, std::string> cur;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (Trimmed(line).empty() || colon == std::string::npos) {
      if (!cur.empty()) blocks.push_back(std::move(cur));
      cur.clear();
      continue;
    }
    std::string k = Trimmed(line.substr(0, colon));
    if (k == "processor" && cur.count("processor")) {
      blocks.push_back(std::move(cur));
      cur.clear();
    }
    cur[k] = Trimmed(line.substr(colon + 1));
  }
  if (!cur.empty()) blocks.push_back(std::move(cur));
  std::erase_if(blocks, [](const auto& b) { return !b.count("processor"); });
  if (blocks.empty()) {
    long n = sysconf(_SC_NPROCESSORS_CONF);
    blocks.resize(n > 0 ? static_cast<size_t>(n) : 1);
  }

  std::vector<std::vector<Val>> cpus;
  for (size_t i = 0; i < blocks.size(); ++i) {
    auto& b = blocks[i];
    auto get = [&](const char* k) { return b.count(k) ? b[k] : std::string(); };
    // The rated clock where the host says it, else the current one.
    DWORD mhz = 0;
    std::string maxKhz;
    if (!presented)
      maxKhz = Trimmed(ReadSmallFile(
          ("/sys/devices/system/cpu/cpu" + std::to_string(i) + "/cpufreq/cpuinfo_max_freq")
              .c_str()));
    if (!maxKhz.empty()) mhz = static_cast<DWORD>(std::strtoul(maxKhz.c_str(), nullptr, 10) / 1000);
    if (!mhz && !get("cpu MHz").empty())
      mhz = static_cast<DWORD>(std::lround(std::strtod(get("cpu MHz").c_str(), nullptr)));
    std::string ident, vendor = get("vendor_id");
    if (!get("cpu family").empty()) {
      ident = "x86 Family " + get("cpu family") + " Model " + get("model") + " Stepping " +
              get("stepping");
    } else if (!get("CPU implementer").empty()) {
      ident = "ARM Family " + get("CPU architecture") + " Model " + get("CPU part") + " Revision " +
              get("CPU revision");
      if (vendor.empty()) vendor = get("CPU implementer");
    } else {
      ident = "Processor";
    }
    std::vector<Val> vals;
    if (!presented || !get("cpu MHz").empty())
      vals.push_back({"~MHz", Fold("~MHz"), REG_DWORD, DwordData(mhz)});
    vals.push_back({"Identifier", Fold("Identifier"), REG_SZ, SzData(ident)});
    vals.push_back({"VendorIdentifier", Fold("VendorIdentifier"), REG_SZ, SzData(vendor)});
    if (!get("model name").empty())
      vals.push_back(
          {"ProcessorNameString", Fold("ProcessorNameString"), REG_SZ, SzData(get("model name"))});
    std::sort(vals.begin(), vals.end(), [](const Val& a, const Val& b) { return a.fold < b.fold; });
    cpus.push_back(std::move(vals));
  }
  return cpus;
}

const std::vector<std::vector<Val>>& Processors() {
  static const std::vector<std::vector<Val>> cpus = LoadProcessors();
  return cpus;
}

struct MimeTable {
  std::unordered_map<std::string, std::string> typeByFold;  // ".TXT" -> "text/plain"
  std::vector<std::pair<std::string, std::string>> keys;    // (fold, ".txt"), by fold
};

const MimeTable& Mime() {
  static const MimeTable table = [] {
    MimeTable t;
    std::istringstream in(ReadSmallFile("/etc/mime.types"));
    std::string line;
    while (std::getline(in, line)) {
      if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
      std::istringstream words(line);
      std::string type, ext;
      if (!(words >> type) || type.find('/') == std::string::npos) continue;
      while (words >> ext) {
        std::string name = "." + ext;
        std::string fold = Fold(name);
        if (t.typeByFold.emplace(fold, type).second) t.keys.emplace_back(fold, name);
      }
    }
    std::sort(t.keys.begin(), t.keys.end());
    return t;
  }();
  return table;
}

enum class Gen { None, Container, CpuList, Cpu, Mime };

struct GenNode {
  Gen kind = Gen::None;
  size_t cpu = 0;
};

constexpr const char* kHwFolds[] = {"HARDWARE", "DESCRIPTION", "SYSTEM", "CENTRALPROCESSOR"};
constexpr const char* kHwNames[] = {"HARDWARE", "DESCRIPTION", "System", "CentralProcessor"};

// The generated node at a path (folded components), whatever is stored.
GenNode GeneratedNode(int root, const std::vector<std::string>& folds) {
  GenNode g;
  if (root == kRootMachine && !folds.empty()) {
    size_t depth = folds.size();
    for (size_t i = 0; i < depth && i < 4; ++i)
      if (folds[i] != kHwFolds[i]) return g;
    if (depth < 4) {
      g.kind = Gen::Container;
    } else if (depth == 4) {
      g.kind = Gen::CpuList;
    } else if (depth == 5) {
      const std::string& n = folds[4];
      if (n.empty() || n.size() > 4 || (n.size() > 1 && n[0] == '0') ||
          !std::all_of(n.begin(), n.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return g;
      size_t idx = std::stoul(n);
      if (idx < Processors().size()) {
        g.kind = Gen::Cpu;
        g.cpu = idx;
      }
    }
  } else if (root == kRootClasses && folds.size() == 1 && Mime().typeByFold.count(folds[0])) {
    g.kind = Gen::Mime;
  }
  return g;
}

// Under HKLM\HARDWARE everything is generated and nothing may be written.
bool InReadOnlyTree(int root, const std::vector<std::string>& folds) {
  return root == kRootMachine && !folds.empty() && folds[0] == kHwFolds[0];
}

// Generated subkeys of a key: (fold, name).
std::vector<std::pair<std::string, std::string>> GeneratedChildren(
    int root, const std::vector<std::string>& folds) {
  std::vector<std::pair<std::string, std::string>> out;
  if (root == kRootMachine && folds.size() < 4) {
    GenNode g = GeneratedNode(root, folds);
    if (folds.empty() || g.kind == Gen::Container)
      out.emplace_back(kHwFolds[folds.size()], kHwNames[folds.size()]);
  } else if (root == kRootMachine && GeneratedNode(root, folds).kind == Gen::CpuList) {
    for (size_t i = 0; i < Processors().size(); ++i)
      out.emplace_back(std::to_string(i), std::to_string(i));
  } else if (root == kRootClasses && folds.empty()) {
    out = Mime().keys;
  }
  return out;
}

std::vector<Val> GeneratedValues(int root, const std::vector<std::string>& folds,
                                 const GenNode& g) {
  if (g.kind == Gen::Cpu) return Processors()[g.cpu];
  if (g.kind == Gen::Mime)
    return {{"Content Type", Fold("Content Type"), REG_SZ, SzData(Mime().typeByFold.at(folds[0]))}};
  (void)root;
  return {};
}

// ---------------------------------------------------------------------------------------------
// Key handles.

struct Listing {
  struct Child {
    std::string fold;
    std::string name;
    std::int64_t mtime = 0;
  };
  std::vector<Child> subkeys;  // by fold
  std::vector<Val> values;     // by fold
  std::int64_t mtime = 0;
};

struct KeyObj {
  int root = 0;
  std::vector<std::string> names;  // path below the root, as given
  std::vector<std::string> folds;
  std::int64_t id = 0;  // stored key, 0 when the key is only generated
  GenNode gen;
  REGSAM access = KEY_ALL_ACCESS;

  std::mutex lock;  // guards the listing cache
  std::uint64_t listingEpoch = ~std::uint64_t{0};
  std::shared_ptr<const Listing> listing;
};

std::mutex g_handleLock;
std::unordered_map<std::uintptr_t, std::shared_ptr<KeyObj>> g_handles;
std::uintptr_t g_nextHandle = 0x10000;

std::shared_ptr<KeyObj> RootObj(int root) {
  static std::shared_ptr<KeyObj> roots[kRootCount] = {};
  static std::once_flag once;
  std::call_once(once, [] {
    for (int r = 0; r < kRootCount; ++r) {
      roots[r] = std::make_shared<KeyObj>();
      roots[r]->root = r;
      roots[r]->id = r + 1;
    }
  });
  return roots[root];
}

std::shared_ptr<KeyObj> LookupKey(HKEY h) {
  auto v = reinterpret_cast<std::uintptr_t>(h);
  if (v >= 0x80000000u && v < 0x80000000u + kRootCount)
    return RootObj(static_cast<int>(v - 0x80000000u));
  std::lock_guard guard(g_handleLock);
  auto it = g_handles.find(v);
  return it == g_handles.end() ? nullptr : it->second;
}

HKEY InsertKey(std::shared_ptr<KeyObj> key) {
  std::lock_guard guard(g_handleLock);
  std::uintptr_t v = g_nextHandle;
  g_nextHandle += 4;
  g_handles.emplace(v, std::move(key));
  return reinterpret_cast<HKEY>(v);
}

REGSAM MapAccess(REGSAM sam) {
  REGSAM a = sam & 0x00FFFFFF;
  if (sam & 0x80000000u) a |= KEY_READ;        // GENERIC_READ
  if (sam & 0x40000000u) a |= KEY_WRITE;       // GENERIC_WRITE
  if (sam & 0x20000000u) a |= KEY_EXECUTE;     // GENERIC_EXECUTE
  if (sam & 0x10000000u) a |= KEY_ALL_ACCESS;  // GENERIC_ALL
  if (sam & 0x02000000u) a |= KEY_ALL_ACCESS;  // MAXIMUM_ALLOWED
  return a;
}

// ---------------------------------------------------------------------------------------------
// The connection of the calling thread.

// Bumped whenever the store may have changed; caches older than it are thrown away.
std::atomic<std::uint64_t> g_epoch{1};

LONG FromSqlite(int rc, bool write) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_NOTADB:
      return ERROR_BADDB;
    case SQLITE_CORRUPT:
      return ERROR_REGISTRY_CORRUPT;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
      return ERROR_OUTOFMEMORY;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    default:
      return write ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

enum StmtId {
  kDataVersion,
  kChild,
  kValue,
  kKeyMtime,
  kInsertKey,
  kUpsertValue,
  kTouchKey,
  kDeleteValue,
  kCountChildren,
  kDeleteKeyValues,
  kDeleteKey,
  kParentOf,
  kListKeys,
  kListValues,
  kStmtCount
};

constexpr const char* kSql[kStmtCount] = {
    "PRAGMA data_version",
    "SELECT id FROM keys WHERE parent=?1 AND fold=?2",
    "SELECT type, data FROM vals WHERE key=?1 AND fold=?2",
    "SELECT mtime FROM keys WHERE id=?1",
    "INSERT INTO keys(parent, name, fold, mtime) VALUES(?1, ?2, ?3, ?4)",
    ("INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
     "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data"),
    "UPDATE keys SET mtime=?2 WHERE id=?1",
    "DELETE FROM vals WHERE key=?1 AND fold=?2",
    "SELECT count(*) FROM keys WHERE parent=?1",
    "DELETE FROM vals WHERE key=?1",
    "DELETE FROM keys WHERE id=?1",
    "SELECT parent FROM keys WHERE id=?1",
    "SELECT fold, name, mtime FROM keys WHERE parent=?1 ORDER BY fold",
    "SELECT name, fold, type, data FROM vals WHERE key=?1 ORDER BY fold",
};

constexpr const char* kSchema =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, fold TEXT NOT NULL, mtime INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);"
    "CREATE TABLE vals(key INTEGER NOT NULL, fold TEXT NOT NULL, name TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold)) WITHOUT ROWID;"
    "INSERT INTO keys(id, parent, name, fold) VALUES"
    " (1, 0, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT'), (2, 0, 'HKEY_CURRENT_USER', "
    "'HKEY_CURRENT_USER'),"
    " (3, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'), (4, 0, 'HKEY_USERS', 'HKEY_USERS');"
    "PRAGMA application_id=1464881735; PRAGMA user_version=1;";
static_assert(kApplicationId == 1464881735);

// Binds and steps one cached statement; resets it when done.
class Query {
 public:
  explicit Query(sqlite3_stmt* s) : m_s(s) {}
  ~Query() {
    if (m_s) {
      sqlite3_reset(m_s);
      sqlite3_clear_bindings(m_s);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  bool ok() const { return m_s != nullptr; }
  Query& Bind(int i, std::int64_t v) {
    sqlite3_bind_int64(m_s, i, v);
    return *this;
  }
  Query& Text(int i, std::string_view v) {
    sqlite3_bind_text(m_s, i, v.empty() ? "" : v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    return *this;
  }
  Query& Blob(int i, const void* p, size_t n) {
    static const char empty = 0;
    sqlite3_bind_blob(m_s, i, n ? p : &empty, static_cast<int>(n), SQLITE_STATIC);
    return *this;
  }
  int Step() { return sqlite3_step(m_s); }
  std::int64_t Int(int col) const { return sqlite3_column_int64(m_s, col); }
  std::string_view Bytes(int col) const {
    const void* p = sqlite3_column_blob(m_s, col);
    int n = sqlite3_column_bytes(m_s, col);
    return p ? std::string_view(static_cast<const char*>(p), static_cast<size_t>(n))
             : std::string_view();
  }

 private:
  sqlite3_stmt* m_s;
};

std::mutex g_checkedLock;
std::set<std::string> g_checkedFiles;  // databases whose integrity this process has checked

class Conn {
 public:
  ~Conn() { Close(); }

  // Opens (or reopens, when the prefix changed) and catches up with other writers.
  LONG Acquire() {
    const char* env = std::getenv("WINPORT_PREFIX");
    std::string_view ident = env ? env : "";
    if (!m_db || m_ident != ident) {
      LONG rc = Open(std::string(ident));
      if (rc != ERROR_SUCCESS) {
        Close();
        return rc;
      }
    }
    std::uint64_t seq =
        m_seq ? std::atomic_ref<std::uint64_t>(*m_seq).load(std::memory_order_acquire) : 0;
    std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    if (!m_seq || seq != m_seenSeq || now - m_lastSync > kResyncNs) {
      LONG rc = Sync();
      if (rc != ERROR_SUCCESS) return rc;
      m_seenSeq = seq;
      m_lastSync = now;
      return ERROR_SUCCESS;
    }
    CheckEpoch();
    return ERROR_SUCCESS;
  }

  // Tells every reader, in this process and others, that the store changed.
  void Changed() {
    if (m_seq) std::atomic_ref<std::uint64_t>(*m_seq).fetch_add(1, std::memory_order_release);
    g_epoch.fetch_add(1);
  }

  struct CachedValue {
    LONG rc = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    std::string data;
  };

  // The cached result of reading a value, or null.
  const CachedValue* FindValue(std::int64_t key, const std::string& fold) {
    m_probe.key = key;
    m_probe.fold = fold;
    auto it = m_values.find(m_probe);
    return it == m_values.end() ? nullptr : &it->second;
  }

  const CachedValue* KeepValue(std::int64_t key, const std::string& fold, CachedValue v) {
    if (m_values.size() > 20000) m_values.clear();
    return &(m_values[ValueKey{key, fold}] = std::move(v));
  }

  LONG Sync() {
    Query q(Stmt(kDataVersion));
    if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
    int rc = q.Step();
    if (rc != SQLITE_ROW) return FromSqlite(rc, false);
    std::int64_t v = q.Int(0);
    if (v != m_dataVersion) {
      m_dataVersion = v;
      g_epoch.fetch_add(1);
    }
    CheckEpoch();
    return ERROR_SUCCESS;
  }

  void CheckEpoch() {
    std::uint64_t e = g_epoch.load();
    if (e != m_cacheEpoch) {
      m_paths.clear();
      m_values.clear();
      m_cacheEpoch = e;
    }
  }

  sqlite3_stmt* Stmt(StmtId id) {
    if (!m_stmts[id] && sqlite3_prepare_v3(m_db, kSql[id], -1, SQLITE_PREPARE_PERSISTENT,
                                           &m_stmts[id], nullptr) != SQLITE_OK)
      return nullptr;
    return m_stmts[id];
  }

  int Exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }
  sqlite3* db() const { return m_db; }
  bool InTransaction() const { return m_db && !sqlite3_get_autocommit(m_db); }

  // Stored key id of a path (0 when it is not stored), through the cache.
  LONG Resolve(int root, const std::vector<std::string>& folds, std::int64_t* id) {
    std::string path(1, static_cast<char>('0' + root));
    std::int64_t cur = root + 1;
    for (const std::string& f : folds) {
      path += '\\';
      path += f;
      auto it = m_paths.find(path);
      if (it != m_paths.end()) {
        cur = it->second;
      } else {
        Query q(Stmt(kChild));
        if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
        q.Bind(1, cur).Text(2, f);
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
          cur = q.Int(0);
        } else if (rc == SQLITE_DONE) {
          cur = 0;
        } else {
          return FromSqlite(rc, false);
        }
        if (m_paths.size() > 100000) m_paths.clear();
        m_paths.emplace(path, cur);
      }
      if (!cur) break;
    }
    *id = cur;
    return ERROR_SUCCESS;
  }

  // ERROR_SUCCESS when the key is stored, ERROR_KEY_DELETED when it is gone.
  LONG KeyMtime(std::int64_t id, std::int64_t* mtime = nullptr) {
    Query q(Stmt(kKeyMtime));
    if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
    q.Bind(1, id);
    int rc = q.Step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return FromSqlite(rc, false);
    if (mtime) *mtime = q.Int(0);
    return ERROR_SUCCESS;
  }

 private:
  LONG Open(std::string ident) {
    Close();
    m_ident = std::move(ident);
    std::filesystem::path dir = PrefixPath();
    if (dir.empty()) return ERROR_CANTOPEN;
    std::string file = (dir / "registry.db").string();
    int rc =
        sqlite3_open_v2(file.c_str(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return FromSqlite(rc, false);
    sqlite3_busy_timeout(m_db, 10000);

    // Make sure it is our database (creating it when the file is new) before touching it.
    LONG err = ERROR_SUCCESS;
    int tables = CountTables(&err);
    if (err != ERROR_SUCCESS) return err;
    if (tables == 0) {
      rc = Exec("BEGIN IMMEDIATE");
      if (rc != SQLITE_OK) return FromSqlite(rc, true);
      tables = CountTables(&err);
      if (err == ERROR_SUCCESS && tables == 0) {
        rc = Exec(kSchema);
        if (rc != SQLITE_OK) err = FromSqlite(rc, true);
      }
      rc = Exec(err == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK");
      if (err == ERROR_SUCCESS && rc != SQLITE_OK) err = FromSqlite(rc, true);
      if (err != ERROR_SUCCESS) return err;
    } else {
      std::int64_t appId = 0;
      if (PragmaInt("PRAGMA application_id", &appId) != SQLITE_OK || appId != kApplicationId)
        return ERROR_BADDB;
    }

    // Check the whole file once per process: a truncated database may still open.
    {
      std::lock_guard guard(g_checkedLock);
      if (!g_checkedFiles.count(file)) {
        sqlite3_stmt* s = nullptr;
        bool good =
            sqlite3_prepare_v2(m_db, "PRAGMA quick_check", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW &&
            std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))) == "ok";
        sqlite3_finalize(s);
        if (!good) return ERROR_REGISTRY_CORRUPT;
        g_checkedFiles.insert(file);
      }
    }

    // WAL lets readers and one writer work at once; switching waits while others hold the file.
    for (int attempt = 0;; ++attempt) {
      rc = Exec("PRAGMA journal_mode=WAL");
      if (rc == SQLITE_OK) break;
      if ((rc & 0xFF) != SQLITE_BUSY || attempt > 100) return FromSqlite(rc, true);
      sqlite3_sleep(20);
    }
    Exec("PRAGMA synchronous=NORMAL");
    m_dataVersion = -1;
    MapChangeCounter(dir / "run" / "registry.seq");
    return ERROR_SUCCESS;
  }

  // Without the shared counter every call asks SQLite, which is slower but as correct.
  void MapChangeCounter(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
    if (!fd) return;
    struct stat st {};
    if (fstat(fd.get(), &st) == 0 && (st.st_size >= 8 || ftruncate(fd.get(), 8) == 0)) {
      void* p = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
      if (p != MAP_FAILED) m_seq = static_cast<std::uint64_t*>(p);
    }
  }

  int CountTables(LONG* err) {
    std::int64_t n = 0;
    int rc = PragmaInt("SELECT count(*) FROM sqlite_master", &n);
    if (rc != SQLITE_OK) *err = FromSqlite(rc, false);
    return static_cast<int>(n);
  }

  int PragmaInt(const char* sql, std::int64_t* out) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr);
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        *out = sqlite3_column_int64(s, 0);
        rc = SQLITE_OK;
      }
    }
    sqlite3_finalize(s);
    return rc;
  }

  void Close() {
    for (auto& s : m_stmts) {
      sqlite3_finalize(s);
      s = nullptr;
    }
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
    if (m_seq) munmap(m_seq, 8);
    m_seq = nullptr;
    m_paths.clear();
    m_values.clear();
  }

  struct ValueKey {
    std::int64_t key;
    std::string fold;
    bool operator==(const ValueKey&) const = default;
  };
  struct ValueKeyHash {
    size_t operator()(const ValueKey& k) const {
      return std::hash<std::string>()(k.fold) ^
             (static_cast<size_t>(k.key) * 0x9E3779B97F4A7C15ull);
    }
  };
  static constexpr std::int64_t kResyncNs = 100'000'000;

  sqlite3* m_db = nullptr;
  std::string m_ident;
  sqlite3_stmt* m_stmts[kStmtCount] = {};
  std::int64_t m_dataVersion = -1;
  std::uint64_t m_cacheEpoch = 0;
  std::unordered_map<std::string, std::int64_t> m_paths;
  std::unordered_map<ValueKey, CachedValue, ValueKeyHash> m_values;
  ValueKey m_probe{0, {}};
  std::uint64_t* m_seq = nullptr;  // the shared change counter
  std::uint64_t m_seenSeq = 0;
  std::int64_t m_lastSync = 0;
};

thread_local Conn t_conn;

// One change: a transaction of its own, or a savepoint inside the caller's transaction.
class WriteScope {
 public:
  explicit WriteScope(Conn& c) : m_c(c), m_nested(c.InTransaction()) {
    int rc = m_c.Exec(m_nested ? "SAVEPOINT change" : "BEGIN IMMEDIATE");
    m_status = FromSqlite(rc, true);
    if (m_status == ERROR_SUCCESS) {
      m_open = true;
      m_status = m_c.Sync();  // others may have written since the call began
    }
  }
  ~WriteScope() {
    if (!m_open) return;
    if (m_nested) {
      m_c.Exec("ROLLBACK TO change");
      m_c.Exec("RELEASE change");
    } else {
      m_c.Exec("ROLLBACK");
    }
    g_epoch.fetch_add(1);
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

  LONG status() const { return m_status; }
  LONG Commit() {
    int rc = m_c.Exec(m_nested ? "RELEASE change" : "COMMIT");
    if (rc != SQLITE_OK) return FromSqlite(rc, true);  // the destructor rolls back
    m_open = false;
    m_c.Changed();
    return ERROR_SUCCESS;
  }

 private:
  Conn& m_c;
  bool m_nested;
  bool m_open = false;
  LONG m_status;
};

// ---------------------------------------------------------------------------------------------
// Helpers shared by the calls.

// Splits a subkey path ("A\B\C"); a trailing backslash is allowed, a leading one or an empty
// component is not.
LONG SplitPath(const char* sub, std::vector<std::string>* names) {
  if (!sub || !*sub) return ERROR_SUCCESS;
  std::string_view s(sub);
  if (s.front() == '\\') return ERROR_BAD_PATHNAME;
  if (s.back() == '\\') s.remove_suffix(1);
  while (!s.empty()) {
    size_t p = s.find('\\');
    std::string_view part = s.substr(0, p);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyNameLen) return ERROR_INVALID_PARAMETER;
    names->emplace_back(part);
    if (p == std::string_view::npos) break;
    s.remove_prefix(p + 1);
  }
  return ERROR_SUCCESS;
}

struct Target {
  int root = 0;
  std::vector<std::string> names;
  std::vector<std::string> folds;
};

LONG MakeTarget(const KeyObj& base, const char* sub, Target* t) {
  t->root = base.root;
  t->names = base.names;
  t->folds = base.folds;
  std::vector<std::string> more;
  LONG rc = SplitPath(sub, &more);
  if (rc != ERROR_SUCCESS) return rc;
  for (auto& n : more) {
    t->folds.push_back(Fold(n));
    t->names.push_back(std::move(n));
  }
  return ERROR_SUCCESS;
}

HKEY NewHandle(const Target& t, std::int64_t id, GenNode gen, REGSAM sam) {
  auto k = std::make_shared<KeyObj>();
  k->root = t.root;
  k->names = t.names;
  k->folds = t.folds;
  k->id = id;
  k->gen = gen;
  k->access = MapAccess(sam);
  return InsertKey(std::move(k));
}

// Copies a value out as RegQueryValueExA does. Strings stored without their terminator are
// handed out terminated (and sized with it) wherever the caller's buffer has room.
LONG CopyOut(DWORD type, std::string_view data, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  if (lpType) *lpType = type;
  size_t n = data.size();
  size_t extra = 0;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    extra = (n == 0 || data[n - 1] != '\0') ? 1 : 0;
  } else if (type == REG_MULTI_SZ) {
    if (n == 0)
      extra = 1;
    else if (data[n - 1] != '\0')
      extra = 2;
    else if (n >= 2 && data[n - 2] != '\0')
      extra = 1;
  }
  size_t need = n + extra;
  if (!lpcbData) return ERROR_SUCCESS;
  if (!lpData) {
    *lpcbData = static_cast<DWORD>(need);
    return ERROR_SUCCESS;
  }
  size_t cb = *lpcbData;
  if (cb < n) {
    *lpcbData = static_cast<DWORD>(need);
    return ERROR_MORE_DATA;
  }
  if (n) std::memcpy(lpData, data.data(), n);
  size_t term = std::min(extra, cb - n);
  std::memset(lpData + n, 0, term);
  *lpcbData = static_cast<DWORD>(n + term);
  return ERROR_SUCCESS;
}

FILETIME ToFileTime(std::int64_t t) {
  std::uint64_t v = t > 0 ? (static_cast<std::uint64_t>(t) + 11644473600ULL) * 10000000ULL : 0;
  return {static_cast<DWORD>(v & 0xFFFFFFFF), static_cast<DWORD>(v >> 32)};
}

LONG BuildListing(Conn& c, const KeyObj& k, std::shared_ptr<const Listing>* out) {
  auto l = std::make_shared<Listing>();
  if (k.id) {
    LONG rc = c.KeyMtime(k.id, &l->mtime);
    if (rc != ERROR_SUCCESS) return rc;
    {
      Query q(c.Stmt(kListKeys));
      if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
      q.Bind(1, k.id);
      int s;
      while ((s = q.Step()) == SQLITE_ROW)
        l->subkeys.push_back({std::string(q.Bytes(0)), std::string(q.Bytes(1)), q.Int(2)});
      if (s != SQLITE_DONE) return FromSqlite(s, false);
    }
    {
      Query q(c.Stmt(kListValues));
      if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
      q.Bind(1, k.id);
      int s;
      while ((s = q.Step()) == SQLITE_ROW)
        l->values.push_back({std::string(q.Bytes(0)), std::string(q.Bytes(1)),
                             static_cast<DWORD>(q.Int(2)), std::string(q.Bytes(3))});
      if (s != SQLITE_DONE) return FromSqlite(s, false);
    }
  } else {
    l->values = GeneratedValues(k.root, k.folds, k.gen);
  }
  auto gen = GeneratedChildren(k.root, k.folds);
  if (!gen.empty()) {
    std::set<std::string> have;
    for (auto& s : l->subkeys) have.insert(s.fold);
    for (auto& [fold, name] : gen)
      if (!have.count(fold)) l->subkeys.push_back({fold, name, 0});
    std::stable_sort(
        l->subkeys.begin(), l->subkeys.end(),
        [](const Listing::Child& a, const Listing::Child& b) { return a.fold < b.fold; });
  }
  *out = std::move(l);
  return ERROR_SUCCESS;
}

LONG GetListing(Conn& c, KeyObj& k, std::shared_ptr<const Listing>* out) {
  std::uint64_t e = g_epoch.load();
  {
    std::lock_guard guard(k.lock);
    if (k.listing && k.listingEpoch == e) {
      *out = k.listing;
      return ERROR_SUCCESS;
    }
  }
  LONG rc = BuildListing(c, k, out);
  if (rc != ERROR_SUCCESS) return rc;
  std::lock_guard guard(k.lock);
  k.listing = *out;
  k.listingEpoch = e;
  return ERROR_SUCCESS;
}

// Looks up the handle and readies the thread's connection.
LONG Enter(HKEY h, std::shared_ptr<KeyObj>* key) {
  *key = LookupKey(h);
  if (!*key) return ERROR_INVALID_HANDLE;
  return t_conn.Acquire();
}

// A subkey path resolved from an open key: the key it starts from, the whole path, the stored
// key's id (0 when none is stored) and the generated node it names.
struct Located {
  std::shared_ptr<KeyObj> base;
  Target t;
  std::int64_t id = 0;
  GenNode gen;
};

LONG Locate(HKEY h, const char* sub, Located* at) {
  LONG rc = Enter(h, &at->base);
  if (rc != ERROR_SUCCESS) return rc;
  if ((rc = MakeTarget(*at->base, sub, &at->t)) != ERROR_SUCCESS) return rc;
  if ((rc = t_conn.Resolve(at->t.root, at->t.folds, &at->id)) != ERROR_SUCCESS) return rc;
  at->gen = GeneratedNode(at->t.root, at->t.folds);
  if (at->id && at->gen.kind == Gen::Mime) at->gen = {};  // a stored key overrides the MIME table
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD, REGSAM samDesired, HKEY* phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  Located at;
  LONG rc = Locate(hKey, lpSubKey, &at);
  if (rc != ERROR_SUCCESS) return rc;
  if (!at.id && at.gen.kind == Gen::None) return ERROR_FILE_NOT_FOUND;
  *phkResult = NewHandle(at.t, at.id, at.gen, samDesired);
  return ERROR_SUCCESS;
}

LONG RegOpenKeyA(HKEY hKey, const char* lpSubKey, HKEY* phkResult) {
  return RegOpenKeyExA(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
}

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD, char*, DWORD, REGSAM samDesired,
                     const SECURITY_ATTRIBUTES*, HKEY* phkResult, DWORD* lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  Located at;
  LONG rc = Locate(hKey, lpSubKey, &at);
  if (rc != ERROR_SUCCESS) return rc;
  const std::shared_ptr<KeyObj>& key = at.base;
  const Target& t = at.t;
  if (at.id || InReadOnlyTree(t.root, t.folds)) {
    if (!at.id && at.gen.kind == Gen::None) return ERROR_ACCESS_DENIED;
    if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    *phkResult = NewHandle(t, at.id, at.gen, samDesired);
    return ERROR_SUCCESS;
  }
  if (!(key->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  if (key->id && key != RootObj(key->root) && (rc = t_conn.KeyMtime(key->id)) != ERROR_SUCCESS)
    return rc;

  // Create what is missing along the path. A MIME-table key that becomes stored takes its
  // generated content along, so the key reads the same as before.
  WriteScope w(t_conn);
  if (w.status() != ERROR_SUCCESS) return w.status();
  std::int64_t cur = t.root + 1;
  bool created = false;
  std::int64_t now = static_cast<std::int64_t>(Now());
  for (size_t i = 0; i < t.folds.size(); ++i) {
    Query q(t_conn.Stmt(kChild));
    if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
    q.Bind(1, cur).Text(2, t.folds[i]);
    int s = q.Step();
    if (s == SQLITE_ROW) {
      cur = q.Int(0);
      created = false;
      continue;
    }
    if (s != SQLITE_DONE) return FromSqlite(s, true);
    Query ins(t_conn.Stmt(kInsertKey));
    Query touch(t_conn.Stmt(kTouchKey));
    if (!ins.ok() || !touch.ok()) return ERROR_REGISTRY_CORRUPT;
    ins.Bind(1, cur).Text(2, t.names[i]).Text(3, t.folds[i]).Bind(4, now);
    if ((s = ins.Step()) != SQLITE_DONE) return FromSqlite(s, true);
    touch.Bind(1, cur).Bind(2, now);
    if ((s = touch.Step()) != SQLITE_DONE) return FromSqlite(s, true);
    cur = sqlite3_last_insert_rowid(t_conn.db());
    created = true;
    std::vector<std::string> prefix(t.folds.begin(), t.folds.begin() + static_cast<long>(i) + 1);
    GenNode pg = GeneratedNode(t.root, prefix);
    if (pg.kind == Gen::Mime) {
      created = false;  // it existed already, as far as callers could tell
      for (const Val& v : GeneratedValues(t.root, prefix, pg)) {
        Query up(t_conn.Stmt(kUpsertValue));
        if (!up.ok()) return ERROR_REGISTRY_CORRUPT;
        up.Bind(1, cur).Text(2, v.fold).Text(3, v.name).Bind(4, v.type).Blob(5, v.data.data(),
                                                                             v.data.size());
        if ((s = up.Step()) != SQLITE_DONE) return FromSqlite(s, true);
      }
    }
  }
  if ((rc = w.Commit()) != ERROR_SUCCESS) return rc;
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *phkResult = NewHandle(t, cur, {}, samDesired);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyA(HKEY hKey, const char* lpSubKey, HKEY* phkResult) {
  return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                         nullptr, phkResult, nullptr);
}

LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD*, DWORD* lpType, BYTE* lpData,
                      DWORD* lpcbData) {
  std::shared_ptr<KeyObj> key;
  LONG rc = Enter(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::string fold = Fold(lpValueName ? lpValueName : "");
  if (!key->id) {
    for (const Val& v : GeneratedValues(key->root, key->folds, key->gen))
      if (v.fold == fold) return CopyOut(v.type, v.data, lpType, lpData, lpcbData);
    return ERROR_FILE_NOT_FOUND;
  }
  const Conn::CachedValue* cv = t_conn.FindValue(key->id, fold);
  if (!cv) {
    Conn::CachedValue v;
    {
      Query q(t_conn.Stmt(kValue));
      if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
      q.Bind(1, key->id).Text(2, fold);
      int s = q.Step();
      if (s == SQLITE_ROW) {
        v.type = static_cast<DWORD>(q.Int(0));
        std::string_view data = q.Bytes(1);
        if (data.size() > 65536)
          return CopyOut(v.type, data, lpType, lpData, lpcbData);  // too big to keep
        v.data = data;
      } else if (s != SQLITE_DONE) {
        return FromSqlite(s, false);
      } else {
        rc = t_conn.KeyMtime(key->id);
        if (rc != ERROR_SUCCESS && rc != ERROR_KEY_DELETED) return rc;
        v.rc = rc == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : rc;
      }
    }
    cv = t_conn.KeepValue(key->id, fold, std::move(v));
  }
  if (cv->rc != ERROR_SUCCESS) return cv->rc;
  return CopyOut(cv->type, cv->data, lpType, lpData, lpcbData);
}

LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  std::shared_ptr<KeyObj> key;
  LONG rc = Enter(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  if (!(key->access & KEY_SET_VALUE) || !key->id) return ERROR_ACCESS_DENIED;
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  std::string_view name = lpValueName ? lpValueName : "";
  if (name.size() > kMaxValueNameLen) return ERROR_INVALID_PARAMETER;
  std::string fold = Fold(name);
  WriteScope w(t_conn);
  if (w.status() != ERROR_SUCCESS) return w.status();
  {
    // Touching the key first also tells whether it still exists.
    Query touch(t_conn.Stmt(kTouchKey));
    if (!touch.ok()) return ERROR_REGISTRY_CORRUPT;
    touch.Bind(1, key->id).Bind(2, static_cast<std::int64_t>(Now()));
    int s = touch.Step();
    if (s != SQLITE_DONE) return FromSqlite(s, true);
    if (sqlite3_changes(t_conn.db()) == 0) return ERROR_KEY_DELETED;
    Query q(t_conn.Stmt(kUpsertValue));
    if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
    q.Bind(1, key->id).Text(2, fold).Text(3, name).Bind(4, dwType).Blob(5, lpData, cbData);
    if ((s = q.Step()) != SQLITE_DONE) return FromSqlite(s, true);
  }
  return w.Commit();
}

LONG RegDeleteValueA(HKEY hKey, const char* lpValueName) {
  std::shared_ptr<KeyObj> key;
  LONG rc = Enter(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  if (!(key->access & KEY_SET_VALUE) || !key->id) return ERROR_ACCESS_DENIED;
  std::string fold = Fold(lpValueName ? lpValueName : "");
  WriteScope w(t_conn);
  if (w.status() != ERROR_SUCCESS) return w.status();
  if ((rc = t_conn.KeyMtime(key->id)) != ERROR_SUCCESS) return rc;
  {
    Query q(t_conn.Stmt(kDeleteValue));
    if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
    q.Bind(1, key->id).Text(2, fold);
    int s = q.Step();
    if (s != SQLITE_DONE) return FromSqlite(s, true);
    if (sqlite3_changes(t_conn.db()) == 0) return ERROR_FILE_NOT_FOUND;
    Query touch(t_conn.Stmt(kTouchKey));
    if (!touch.ok()) return ERROR_REGISTRY_CORRUPT;
    touch.Bind(1, key->id).Bind(2, static_cast<std::int64_t>(Now()));
    if ((s = touch.Step()) != SQLITE_DONE) return FromSqlite(s, true);
  }
  return w.Commit();
}

LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<KeyObj> key;
  LONG rc = Enter(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  if (!(key->access & kWriteAccess)) return ERROR_ACCESS_DENIED;
  Target t;
  if ((rc = MakeTarget(*key, lpSubKey, &t)) != ERROR_SUCCESS) return rc;
  if (t.folds.empty() || InReadOnlyTree(t.root, t.folds)) return ERROR_ACCESS_DENIED;
  WriteScope w(t_conn);
  if (w.status() != ERROR_SUCCESS) return w.status();
  std::int64_t id = 0;
  if ((rc = t_conn.Resolve(t.root, t.folds, &id)) != ERROR_SUCCESS) return rc;
  if (!id)
    return GeneratedNode(t.root, t.folds).kind != Gen::None ? ERROR_ACCESS_DENIED
                                                            : ERROR_FILE_NOT_FOUND;
  {
    // NT refuses to delete a key that still has subkeys.
    Query count(t_conn.Stmt(kCountChildren));
    if (!count.ok()) return ERROR_REGISTRY_CORRUPT;
    count.Bind(1, id);
    int s = count.Step();
    if (s != SQLITE_ROW) return FromSqlite(s, true);
    if (count.Int(0) > 0 || !GeneratedChildren(t.root, t.folds).empty()) return ERROR_ACCESS_DENIED;
  }
  std::int64_t parent = 0;
  {
    Query q(t_conn.Stmt(kParentOf));
    if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
    q.Bind(1, id);
    int s = q.Step();
    if (s != SQLITE_ROW) return FromSqlite(s, true);
    parent = q.Int(0);
  }
  for (StmtId sid : {kDeleteKeyValues, kDeleteKey}) {
    Query q(t_conn.Stmt(sid));
    if (!q.ok()) return ERROR_REGISTRY_CORRUPT;
    q.Bind(1, id);
    int s = q.Step();
    if (s != SQLITE_DONE) return FromSqlite(s, true);
  }
  {
    Query touch(t_conn.Stmt(kTouchKey));
    if (!touch.ok()) return ERROR_REGISTRY_CORRUPT;
    touch.Bind(1, parent).Bind(2, static_cast<std::int64_t>(Now()));
    int s = touch.Step();
    if (s != SQLITE_DONE) return FromSqlite(s, true);
  }
  return w.Commit();
}

namespace {

// The listing of a key whose handle was opened with `access`.
LONG ListingFor(HKEY hKey, REGSAM access, std::shared_ptr<const Listing>* l) {
  std::shared_ptr<KeyObj> key;
  LONG rc = Enter(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  if (!(key->access & access)) return ERROR_ACCESS_DENIED;
  return GetListing(t_conn, *key, l);
}

// An enumerated name into a caller's buffer of *cch characters (terminator included).
LONG CopyName(const std::string& name, char* out, DWORD* cch) {
  if (*cch <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(out, name.c_str(), name.size() + 1);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD* lpcchName, DWORD*, char* lpClass,
                   DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
  std::shared_ptr<const Listing> l;
  LONG rc = ListingFor(hKey, KEY_ENUMERATE_SUB_KEYS, &l);
  if (rc != ERROR_SUCCESS) return rc;
  if (dwIndex >= l->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  const auto& child = l->subkeys[dwIndex];
  if ((rc = CopyName(child.name, lpName, lpcchName)) != ERROR_SUCCESS) return rc;
  if (lpClass && lpcchClass) {
    if (*lpcchClass < 1) return ERROR_MORE_DATA;
    lpClass[0] = '\0';
  }
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(child.mtime);
  return ERROR_SUCCESS;
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD cchName) {
  DWORD cch = cchName;
  return RegEnumKeyExA(hKey, dwIndex, lpName, &cch, nullptr, nullptr, nullptr, nullptr);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName, DWORD*,
                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
  std::shared_ptr<const Listing> l;
  LONG rc = ListingFor(hKey, KEY_QUERY_VALUE, &l);
  if (rc != ERROR_SUCCESS) return rc;
  if (dwIndex >= l->values.size()) return ERROR_NO_MORE_ITEMS;
  if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
  const Val& v = l->values[dwIndex];
  if ((rc = CopyName(v.name, lpValueName, lpcchValueName)) != ERROR_SUCCESS) return rc;
  return CopyOut(v.type, v.data, lpType, lpData, lpcbData);
}

LONG RegQueryInfoKeyA(HKEY hKey, char* lpClass, DWORD* lpcchClass, DWORD*, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues,
                      DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen,
                      DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) {
  std::shared_ptr<KeyObj> key;
  LONG rc = Enter(hKey, &key);
  if (rc != ERROR_SUCCESS) return rc;
  if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::shared_ptr<const Listing> l;
  if ((rc = GetListing(t_conn, *key, &l)) != ERROR_SUCCESS) return rc;
  if (lpClass && lpcchClass) {
    if (*lpcchClass < 1) return ERROR_MORE_DATA;
    lpClass[0] = '\0';
  }
  if (lpcchClass) *lpcchClass = 0;
  size_t maxKey = 0, maxName = 0, maxData = 0;
  for (auto& s : l->subkeys) maxKey = std::max(maxKey, s.name.size());
  for (auto& v : l->values) {
    maxName = std::max(maxName, v.name.size());
    DWORD size = 0;
    CopyOut(v.type, v.data, nullptr, nullptr, &size);
    maxData = std::max<size_t>(maxData, size);
  }
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(l->subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = static_cast<DWORD>(maxKey);
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = static_cast<DWORD>(l->values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = static_cast<DWORD>(maxName);
  if (lpcbMaxValueLen) *lpcbMaxValueLen = static_cast<DWORD>(maxData);
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(l->mtime);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  auto v = reinterpret_cast<std::uintptr_t>(hKey);
  if (v >= 0x80000000u && v < 0x80000000u + kRootCount) return ERROR_SUCCESS;
  std::lock_guard guard(g_handleLock);
  return g_handles.erase(v) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegFlushKey(HKEY hKey) {
  // Every change is committed when its call returns; nothing is held back.
  return LookupKey(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace detail {

RegistryTransaction::RegistryTransaction() {
  m_status = t_conn.Acquire();
  if (m_status != ERROR_SUCCESS) return;
  if (t_conn.InTransaction()) {
    m_status = ERROR_INVALID_FUNCTION;  // not nestable
    return;
  }
  m_status = FromSqlite(t_conn.Exec("BEGIN IMMEDIATE"), true);
  if (m_status == ERROR_SUCCESS) {
    m_open = true;
    m_status = t_conn.Sync();
  }
}

RegistryTransaction::~RegistryTransaction() {
  if (!m_open) return;
  t_conn.Exec("ROLLBACK");
  g_epoch.fetch_add(1);
}

LONG RegistryTransaction::Commit() {
  if (!m_open) return m_status == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : m_status;
  int rc = t_conn.Exec("COMMIT");
  if (rc != SQLITE_OK) return FromSqlite(rc, true);
  m_open = false;
  t_conn.Changed();
  return ERROR_SUCCESS;
}

bool RegKeyIsGenerated(HKEY hKey) {
  auto key = LookupKey(hKey);
  return key && key->id == 0;
}

std::string RegFoldName(std::string_view name) {
  return Fold(name);
}

}  // namespace detail
}  // namespace winport
