#include "winport/registry.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "testing.h"

extern char** environ;

namespace winport {
namespace {

// A key under HKLM that the test owns (tests of one executable may share a prefix).
struct TestKey {
  explicit TestKey(const std::string& name, REGSAM sam = KEY_ALL_ACCESS)
      : path("SOFTWARE\\RegTest\\" + name) {
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              sam, nullptr, &h, nullptr),
              ERROR_SUCCESS);
  }
  ~TestKey() { RegCloseKey(h); }
  std::string path;
  HKEY h = nullptr;
};

LONG SetSz(HKEY h, const char* name, const std::string& text) {
  return RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

LONG SetDword(HKEY h, const char* name, DWORD v) {
  return RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

std::string GetSz(HKEY h, const char* name) {
  char buf[512] = {};
  DWORD cb = sizeof buf, type = 0;
  if (RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb) != ERROR_SUCCESS)
    return "<missing>";
  return buf;
}

std::vector<std::string> SubKeys(HKEY h) {
  std::vector<std::string> out;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    LONG rc = RegEnumKeyExA(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
      EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
      break;
    }
    EXPECT_EQ(cch, std::strlen(name));
    out.push_back(name);
  }
  return out;
}

TEST(Registry, NamesAreCaseInsensitiveAndCasePreserving) {
  HKEY a = nullptr, b = nullptr;
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &a, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\TESSALINE\\orbilink\\", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &b, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);

  ASSERT_EQ(SetSz(a, "TraceLevel", "3"), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(b, "TRACELEVEL", "4"), ERROR_SUCCESS);  // same value, first spelling kept
  EXPECT_EQ(GetSz(a, "tracelevel"), "4");
  char name[64];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValueA(a, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "TraceLevel");

  HKEY sw = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &sw), ERROR_SUCCESS);
  auto subs = SubKeys(sw);
  EXPECT_NE(std::find(subs.begin(), subs.end(), "Tessaline"), subs.end());

  // Beyond ASCII: the same name in other case is the same key.
  HKEY u1 = nullptr, u2 = nullptr;
  ASSERT_EQ(RegCreateKeyExA(a, "Grüße Ärger", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &u1, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegCreateKeyExA(a, "GRÜSSE ärger", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &u2, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY) << "a different word must stay a different key";
  RegCloseKey(u2);
  ASSERT_EQ(RegOpenKeyExA(a, "GRÜßE äRGER", 0, KEY_READ, &u2), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(a), (std::vector<std::string>{"GRÜSSE ärger", "Grüße Ärger"}));

  for (HKEY h : {a, b, sw, u1, u2}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, &a), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\\\Tessaline", 0, KEY_READ, &a),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKey", 0, KEY_READ, &a),
            ERROR_FILE_NOT_FOUND);
}

TEST(Registry, QueryGivesSizeFirstAndRefusesSmallBuffers) {
  TestKey k("Query");
  ASSERT_EQ(SetSz(k.h, "Text", "hello"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(k.h, "Number", 10), ERROR_SUCCESS);

  DWORD type = 0, cb = 0;
  ASSERT_EQ(RegQueryValueExA(k.h, "Text", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(cb, 6u);  // the terminator counts

  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  cb = 3;
  EXPECT_EQ(RegQueryValueExA(k.h, "Text", nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cb, 6u);
  EXPECT_EQ(std::string(buf, 6), "xxxxxx") << "nothing is copied on \"more data\"";
  cb = 6;
  ASSERT_EQ(RegQueryValueExA(k.h, "Text", nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(buf, "hello");

  DWORD n = 0;
  cb = sizeof n;
  ASSERT_EQ(RegQueryValueExA(k.h, "number", nullptr, &type, reinterpret_cast<BYTE*>(&n), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(n, 10u);
  cb = 2;
  EXPECT_EQ(RegQueryValueExA(k.h, "Number", nullptr, nullptr, reinterpret_cast<BYTE*>(&n), &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4u);

  // Stored without its terminator: sized and handed out with one wherever there is room.
  ASSERT_EQ(RegSetValueExA(k.h, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
            ERROR_SUCCESS);
  cb = 0;
  ASSERT_EQ(RegQueryValueExA(k.h, "Bare", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 4u);
  std::memset(buf, 'x', sizeof buf);
  cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(k.h, "Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, 4u);
  EXPECT_STREQ(buf, "abc");

  // The default value (null or empty name), and a missing one.
  ASSERT_EQ(SetSz(k.h, nullptr, "dflt"), ERROR_SUCCESS);
  EXPECT_EQ(GetSz(k.h, ""), "dflt");
  cb = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(k.h, "Nothing", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(k.h, "Nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueA(k.h, "TEXT"), ERROR_SUCCESS);
  EXPECT_EQ(GetSz(k.h, "Text"), "<missing>");
}

TEST(Registry, AccessRightsOfHandlesAreEnforced) {
  { TestKey setup("Access"); }
  HKEY ro = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegTest\\Access", 0, KEY_READ, &ro),
            ERROR_SUCCESS);
  EXPECT_EQ(SetDword(ro, "X", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(ro, "X"), ERROR_ACCESS_DENIED);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExA(ro, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(ro, "New", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND)
      << "nothing was created";

  // A writable handle, then the read-only one may still open (not create) what exists.
  HKEY rw = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\RegTest\\Access", 0, KEY_WRITE, &rw),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(rw, "Child", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(ro, "Child", 0, nullptr, 0, KEY_READ, nullptr, &sub, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  RegCloseKey(sub);
  EXPECT_EQ(RegDeleteKeyA(ro, "Child"), ERROR_ACCESS_DENIED);
  ASSERT_EQ(SetDword(rw, "X", 1), ERROR_SUCCESS);
  DWORD cb = 4, v = 0;
  EXPECT_EQ(RegQueryValueExA(rw, "X", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
            ERROR_ACCESS_DENIED)
      << "KEY_WRITE does not include reading";
  EXPECT_EQ(RegQueryValueExA(ro, "X", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(rw, "Child"), ERROR_SUCCESS);
  RegCloseKey(ro);
  RegCloseKey(rw);
}

TEST(Registry, DeleteKeyRefusesSubkeysAndDeadHandlesSaySo) {
  TestKey k("Delete");
  HKEY child = nullptr, grand = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(k.h, "Child\\Grand", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &grand, nullptr),
      ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(k.h, "Child", 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(grand, "V", 7), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(k.h, "Child"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(k.h, "child\\GRAND"), ERROR_SUCCESS);  // values go with it
  EXPECT_EQ(RegDeleteKeyA(k.h, "Child\\Grand"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetDword(grand, "V", 8), ERROR_KEY_DELETED);
  DWORD cb = 4, v = 0;
  EXPECT_EQ(RegQueryValueExA(grand, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteKeyA(k.h, "Child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);

  // A key made again under the same name is a new key: old values do not come back.
  HKEY again = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(k.h, "Child\\Grand", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(again, "V", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
  for (HKEY h : {child, grand, again}) RegCloseKey(h);

  // Closed and made-up handles.
  EXPECT_EQ(RegCloseKey(child), ERROR_INVALID_HANDLE);
  EXPECT_EQ(SetDword(child, "V", 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x1234), "X", 0, KEY_READ, &child),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST(Registry, EnumerationIsByIndexInNameOrderWithCounts) {
  TestKey k("Enum");
  for (const char* n : {"beta", "Alpha", "_under", "Charlie"}) {
    HKEY s = nullptr;
    ASSERT_EQ(RegCreateKeyExA(k.h, n, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &s, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(s);
  }
  // Upper-case order, as NT sorts names: '_' comes after the letters.
  EXPECT_EQ(SubKeys(k.h), (std::vector<std::string>{"Alpha", "beta", "Charlie", "_under"}));
  char small[4];
  DWORD cch = sizeof small;
  EXPECT_EQ(RegEnumKeyExA(k.h, 0, small, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyA(k.h, 4, small, sizeof small), ERROR_NO_MORE_ITEMS);

  ASSERT_EQ(SetSz(k.h, "Zeta", "longest data here"), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(k.h, "a", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(k.h, "LongestValueName", "x"), ERROR_SUCCESS);
  char name[64];
  BYTE data[64];
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    DWORD nc = sizeof name, cb = sizeof data, type = 0;
    LONG rc = RegEnumValueA(k.h, i, name, &nc, nullptr, &type, data, &cb);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    names.push_back(name);
    if (names.back() == "a") {
      EXPECT_EQ(cb, 4u);
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a", "LongestValueName", "Zeta"}));
  DWORD nc = sizeof name, cb = 2;
  EXPECT_EQ(RegEnumValueA(k.h, 2, name, &nc, nullptr, nullptr, data, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 18u);

  DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
  FILETIME ft{};
  ASSERT_EQ(RegQueryInfoKeyA(k.h, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values,
                             &maxName, &maxData, nullptr, &ft),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 4u);
  EXPECT_EQ(maxSub, 7u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(maxName, 16u);
  EXPECT_EQ(maxData, 18u);
  EXPECT_NE(ft.dwHighDateTime, 0u);

  HKEY enumOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(k.h, "", 0, KEY_ENUMERATE_SUB_KEYS, &enumOnly), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(enumOnly).size(), 4u);
  nc = sizeof name;
  EXPECT_EQ(RegEnumValueA(enumOnly, 0, name, &nc, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  RegCloseKey(enumOnly);
}

std::string CpuInfoField(const std::string& field) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0 && line.find(':') != std::string::npos) {
      std::string v = line.substr(line.find(':') + 1);
      return v.substr(v.find_first_not_of(" \t") == std::string::npos ? v.size()
                                                                      : v.find_first_not_of(" \t"));
    }
  return {};
}

TEST(Registry, ProcessorViewIsGeneratedAndReadOnly) {
  HKEY cp = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor", 0,
                          KEY_ALL_ACCESS, &cp),
            ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(cp).size(), std::thread::hardware_concurrency());
  HKEY p0 = nullptr;
  ASSERT_EQ(RegOpenKeyExA(cp, "0", 0, KEY_ALL_ACCESS, &p0), ERROR_SUCCESS);
  DWORD mhz = 0, cb = sizeof mhz, type = 0;
  ASSERT_EQ(RegQueryValueExA(p0, "~MHz", nullptr, &type, reinterpret_cast<BYTE*>(&mhz), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  if (!CpuInfoField("cpu MHz").empty()) {
    EXPECT_GT(mhz, 0u);
  }
  EXPECT_EQ(GetSz(p0, "VendorIdentifier"), CpuInfoField("vendor_id"));
  if (!CpuInfoField("cpu family").empty()) {
    EXPECT_EQ(GetSz(p0, "Identifier"), "x86 Family " + CpuInfoField("cpu family") + " Model " +
                                           CpuInfoField("model\t") + " Stepping " +
                                           CpuInfoField("stepping"));
  }

  // HKLM shows HARDWARE among its subkeys; nothing under it can be written.
  auto roots = SubKeys(HKEY_LOCAL_MACHINE);
  EXPECT_EQ(std::count(roots.begin(), roots.end(), "HARDWARE"), 1);
  EXPECT_EQ(SetDword(p0, "~MHz", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(p0, "Identifier"), ERROR_ACCESS_DENIED);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExA(cp, "99", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(cp, "0"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExA(cp, "00", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
  RegCloseKey(p0);
  RegCloseKey(cp);
}

TEST(Registry, MimeViewIsGeneratedUnlessAKeyIsStored) {
  HKEY txt = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".TXT", 0, KEY_ALL_ACCESS, &txt), ERROR_SUCCESS);
  EXPECT_EQ(GetSz(txt, "Content Type"), "text/plain");
  EXPECT_EQ(SetSz(txt, "Content Type", "x/y"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".txt"), ERROR_ACCESS_DENIED);
  RegCloseKey(txt);
  auto classes = SubKeys(HKEY_CLASSES_ROOT);
  EXPECT_EQ(std::count(classes.begin(), classes.end(), ".txt"), 1);

  // Creating the key stores it with what it showed; from then on the stored key rules.
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".txt", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &txt,
                            &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(GetSz(txt, "Content Type"), "text/plain");
  ASSERT_EQ(SetSz(txt, "Content Type", "text/x-ours"), ERROR_SUCCESS);
  RegCloseKey(txt);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".txt", 0, KEY_READ, &txt), ERROR_SUCCESS);
  EXPECT_EQ(GetSz(txt, "Content Type"), "text/x-ours");
  RegCloseKey(txt);
  classes = SubKeys(HKEY_CLASSES_ROOT);
  EXPECT_EQ(std::count(classes.begin(), classes.end(), ".txt"), 1);
  ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ".txt"), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".txt", 0, KEY_READ, &txt), ERROR_SUCCESS);
  EXPECT_EQ(GetSz(txt, "Content Type"), "text/plain");
  RegCloseKey(txt);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".no-such-extension", 0, KEY_READ, &txt),
            ERROR_FILE_NOT_FOUND);
}

int Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int Wait(int pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Registry, TwoProcessesWriteTheSameKeyAtOnce) {
  const std::string helper = (testing::ExecutableDir() / "winport_registry_writer_helper").string();
  const std::string key = "SOFTWARE\\RegTest\\Race";
  // Look before the others write, so that this process has something cached to throw away:
  // a value, a missing value and a missing key.
  HKEY h = nullptr;
  {
    TestKey warm("Race");
    ASSERT_EQ(SetSz(warm.h, "Last", "none"), ERROR_SUCCESS);
    EXPECT_EQ(GetSz(warm.h, "Last"), "none");
    EXPECT_EQ(GetSz(warm.h, "A-0"), "<missing>");
    ASSERT_EQ(RegOpenKeyExA(warm.h, "Shared", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  }

  constexpr int kCount = 150;
  int a = Spawn({helper, key, "A", std::to_string(kCount)});
  int b = Spawn({helper, key, "B", std::to_string(kCount)});
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
  DWORD values = 0, subKeys = 0;
  ASSERT_EQ(RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 2u * kCount + 1);  // every A-i and B-i, and "Last"
  EXPECT_EQ(subKeys, 1u);
  for (const char* tag : {"A", "B"})
    for (int i = 0; i < kCount; ++i) {
      DWORD v = ~0u, cb = sizeof v;
      std::string name = std::string(tag) + "-" + std::to_string(i);
      ASSERT_EQ(
          RegQueryValueExA(h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
          ERROR_SUCCESS)
          << name;
      EXPECT_EQ(v, static_cast<DWORD>(i));
    }
  std::string last = GetSz(h, "Last");
  EXPECT_TRUE(last == "A" || last == "B") << last;
  HKEY shared = nullptr;
  ASSERT_EQ(RegOpenKeyExA(h, "Shared", 0, KEY_READ, &shared), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(shared).size(), 8u);
  RegCloseKey(shared);
  RegCloseKey(h);
}

TEST(Registry, ThreadsShareHandlesAndSeeEachOthersWrites) {
  TestKey k("Threads");
  constexpr int kThreads = 4, kEach = 100;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string name = "T" + std::to_string(t) + "-" + std::to_string(i);
        if (SetDword(k.h, name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS) ++failures;
        DWORD v = 0, cb = 4;
        if (RegQueryValueExA(k.h, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                             &cb) != ERROR_SUCCESS ||
            v != static_cast<DWORD>(i))
          ++failures;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(k.h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, static_cast<DWORD>(kThreads * kEach));
}

// Points this process at another prefix for the length of a test.
struct OtherPrefix {
  explicit OtherPrefix(const std::filesystem::path& p) : saved(std::getenv("WINPORT_PREFIX")) {
    setenv("WINPORT_PREFIX", p.c_str(), 1);
  }
  ~OtherPrefix() { setenv("WINPORT_PREFIX", saved.c_str(), 1); }
  std::string saved;
};

TEST(Registry, DamagedDatabaseIsReportedAndLeftAlone) {
  // Garbage where the database should be.
  auto garbage = testing::MakeTempDir("garbage");
  std::string junk(8192, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 7919) >> 3);
  std::ofstream(garbage / "registry.db", std::ios::binary) << junk;
  {
    OtherPrefix p(garbage);
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\X", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr);
    EXPECT_TRUE(rc == ERROR_BADDB || rc == ERROR_REGISTRY_CORRUPT) << rc;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), rc);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, "X", nullptr, nullptr, nullptr, &cb), rc);
  }
  EXPECT_EQ(testing::ReadFile(garbage / "registry.db"), junk);

  // A real database cut short, written by another process (which checkpoints it on exit).
  auto cut = testing::MakeTempDir("cut");
  {
    OtherPrefix p(cut);
    int pid = Spawn({(testing::ExecutableDir() / "winport_registry_writer_helper").string(),
                     "SOFTWARE\\Cut\\Fill", std::string(200, 'w'), "60"});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(Wait(pid), 0);
  }
  auto db = cut / "registry.db";
  ASSERT_FALSE(std::filesystem::exists(cut / "registry.db-wal") &&
               std::filesystem::file_size(cut / "registry.db-wal"));
  auto size = std::filesystem::file_size(db);
  ASSERT_GT(size, 16384u);
  std::filesystem::resize_file(db, size / 2);
  {
    OtherPrefix p(cut);
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Cut\\Fill", 0, KEY_READ, &h);
    EXPECT_TRUE(rc == ERROR_BADDB || rc == ERROR_REGISTRY_CORRUPT) << rc;
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "X", 1), rc);
  }
  EXPECT_EQ(std::filesystem::file_size(db), size / 2);
}

TEST(Registry, FirstUseFromTwoProcessesAtOnce) {
  // Both find no database and race to make it; both must end up writing into the same one.
  auto fresh = testing::MakeTempDir("fresh");
  const std::string helper = (testing::ExecutableDir() / "winport_registry_writer_helper").string();
  OtherPrefix p(fresh);
  int a = Spawn({helper, "SOFTWARE\\First", "A", "20"});
  int b = Spawn({helper, "SOFTWARE\\First", "B", "20"});
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\First", 0, KEY_READ, &h), ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 41u);
  RegCloseKey(h);
}

TEST(Registry, UnusablePrefixIsAnErrorNotACrash) {
  auto file = testing::MakeTempDir("plain") / "file";
  std::ofstream(file) << "x";
  OtherPrefix p(file / "prefix");  // below a plain file: cannot be made
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), ERROR_CANTOPEN);
  EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "X", 1), ERROR_CANTOPEN);
}

}  // namespace
}  // namespace winport
