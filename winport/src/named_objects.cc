// The table of named objects: one file under <prefix>/run mapped by every process of the
// prefix, guarded by a robust process-shared mutex. Each slot records the processes holding
// handles to it (with their start times), so the name is freed when the last handle closes or
// when every holder has died; dead holders are reaped whenever a name is looked up.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

#include "sync_internal.h"
#include "winport/error.h"
#include "winport/prefix.h"
#include "winport/text.h"
#include "winport/unique_fd.h"

namespace winport::detail {
namespace {

constexpr std::uint32_t kMagic = 0x4F4E5057;  // "WPNO"
constexpr std::uint32_t kVersion = 1;
constexpr int kSlots = 1024;
constexpr int kHolders = 32;

struct Holder {
  std::int32_t pid;
  std::uint32_t count;  // handles open in that process
  std::uint64_t start;
};

struct Slot {
  ObjectState state;
  std::uint32_t inUse;
  std::uint32_t generation;
  char name[MAX_PATH + 4];
  Holder holders[kHolders];
};

struct Table {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t slotCount;
  std::uint32_t slotSize;
  pthread_mutex_t lock;
  Slot slots[kSlots];
};

Table* g_table = nullptr;

Table* MapTable() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::filesystem::path run = RunPath();
    if (run.empty()) return;
    std::string path = (run / "objects.table").string();
    UniqueFd lockedFile(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    const int fd = lockedFile.get();
    if (!lockedFile) {
      std::fprintf(stderr, "winport: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return;
    }
    // The first process to get here sizes and initialises the table; others wait for it.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st {};
    void* map = MAP_FAILED;
    if (::fstat(fd, &st) == 0 &&
        (st.st_size >= static_cast<off_t>(sizeof(Table)) || ::ftruncate(fd, sizeof(Table)) == 0)) {
      map = ::mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    Table* table = nullptr;
    if (map != MAP_FAILED) {
      table = static_cast<Table*>(map);
      if (table->magic == 0) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(&table->lock, &attr);
        pthread_mutexattr_destroy(&attr);
        table->version = kVersion;
        table->slotCount = kSlots;
        table->slotSize = sizeof(Slot);
        __atomic_store_n(&table->magic, kMagic, __ATOMIC_RELEASE);
      } else if (table->magic != kMagic || table->version != kVersion ||
                 table->slotCount != kSlots || table->slotSize != sizeof(Slot)) {
        std::fprintf(stderr, "winport: %s has an unknown layout; named objects unavailable\n",
                     path.c_str());
        ::munmap(map, sizeof(Table));
        table = nullptr;
      }
    } else {
      std::fprintf(stderr, "winport: cannot map %s: %s\n", path.c_str(), std::strerror(errno));
    }
    ::flock(fd, LOCK_UN);
    g_table = table;  // never unmapped: handles may be closed during exit
  });
  return g_table;
}

bool IsSelf(std::int32_t pid, std::uint64_t start) {
  return pid == SelfPid() && start == SelfStart();
}

void FreeSlot(Slot& slot) {
  slot.inUse = 0;
  slot.generation++;
  slot.name[0] = '\0';
  std::memset(slot.holders, 0, sizeof(slot.holders));
}

// Drops holders that have died and abandons a mutex whose owner has; frees the slot when
// nobody holds it any more.
void ReapSlot(Slot& slot) {
  if (!slot.inUse) return;
  ReapDeadOwner(&slot.state);
  bool held = false;
  for (Holder& h : slot.holders) {
    if (h.pid == 0) continue;
    if (!IsSelf(h.pid, h.start) && !ProcessAlive(h.pid, h.start)) {
      h = Holder{};
    } else {
      held = true;
    }
  }
  if (!held) FreeSlot(slot);
}

void SweepTable(Table& table) {
  for (Slot& slot : table.slots) ReapSlot(slot);
}

bool AddHolder(Slot& slot) {
  Holder* free = nullptr;
  for (Holder& h : slot.holders) {
    if (h.pid != 0 && IsSelf(h.pid, h.start)) {
      h.count++;
      return true;
    }
    if (h.pid == 0 && !free) free = &h;
  }
  if (!free) return false;
  *free = Holder{SelfPid(), 1, SelfStart()};
  return true;
}

// A handle to a named object. Closing the last handle of the process gives up its hold.
struct NamedObject : Waitable {
  int index = 0;
  std::uint32_t generation = 0;

  ~NamedObject() override {
    TableLock lock;
    if (!lock.ok()) return;
    Slot& slot = g_table->slots[index];
    if (!slot.inUse || slot.generation != generation) return;
    bool held = false;
    for (Holder& h : slot.holders) {
      if (h.pid != 0 && IsSelf(h.pid, h.start) && --h.count == 0) h = Holder{};
      if (h.pid != 0) held = true;
    }
    if (!held) FreeSlot(slot);
  }
};

}  // namespace

TableLock::TableLock() {
  Table* table = MapTable();
  if (!table) return;
  int rc = pthread_mutex_lock(&table->lock);
  if (rc == EOWNERDEAD) {
    // A process died holding the lock, possibly mid-update: make the lock usable again and
    // clear out whatever that process left behind.
    pthread_mutex_consistent(&table->lock);
    locked_ = true;
    SweepTable(*table);
    return;
  }
  locked_ = rc == 0;
}

TableLock::~TableLock() {
  if (locked_) pthread_mutex_unlock(&g_table->lock);
}

std::uint64_t ProcessStartTime(std::int32_t pid) {
  if (pid <= 0) return 0;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::ifstream in(path);
  std::string text;
  if (!in || !std::getline(in, text)) return 0;
  // "pid (comm) state ppid ..." where comm may hold spaces and parentheses; the start time is
  // field 22, the 20th after the closing parenthesis.
  std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return 0;
  const char* p = text.c_str() + close + 2;
  char state = *p;
  if (state == 'Z' || state == 'X' || state == 'x') return 0;
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p, ' ');
    if (!p) return 0;
    ++p;
  }
  return std::strtoull(p, nullptr, 10);
}

bool ProcessAlive(std::int32_t pid, std::uint64_t start) {
  if (pid == SelfPid()) return start == SelfStart();
  if (start == 0) return ::kill(pid, 0) == 0 || errno == EPERM;  // its start was unreadable
  std::uint64_t now = ProcessStartTime(pid);
  return now != 0 && now == start;
}

void ReapDeadOwner(ObjectState* state) {
  if (state->kind != kKindMutex || state->ownerPid == 0) return;
  if (ProcessAlive(state->ownerPid, state->ownerStart)) return;
  AbandonMutex(state, true);
}

void AbandonNamedMutexesOf(std::uint32_t tid) {
  if (!g_table) return;  // nothing named was ever used
  TableLock lock;
  if (!lock.ok()) return;
  for (Slot& slot : g_table->slots) {
    ObjectState& s = slot.state;
    if (slot.inUse && s.kind == kKindMutex && s.ownerPid != 0 && s.ownerTid == tid &&
        IsSelf(s.ownerPid, s.ownerStart))
      AbandonMutex(&s, true);
  }
}

bool NormalizeName(const char* name, std::string* normalized, DWORD* error) {
  std::string_view n(name);
  for (std::string_view prefix : {std::string_view("Global\\"), std::string_view("Local\\")}) {
    if (StartsWithNoCase(n, prefix)) {
      n.remove_prefix(prefix.size());
      break;
    }
  }
  if (std::strlen(name) > MAX_PATH || n.find('\\') != std::string_view::npos) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  normalized->assign(n);
  return true;
}

std::shared_ptr<Waitable> CreateNamedObject(ObjectKind kind, const std::string& name, bool create,
                                            bool manualReset, bool initialState, bool initialOwner,
                                            bool* existed, DWORD* error) {
  TableLock lock;
  if (!lock.ok()) {
    *error = ERROR_GEN_FAILURE;
    return nullptr;
  }
  Table& table = *g_table;
  Slot* found = nullptr;
  for (Slot& slot : table.slots) {
    if (slot.inUse && name == slot.name) {
      ReapSlot(slot);
      if (slot.inUse) found = &slot;
      break;
    }
  }
  if (found) {
    if (found->state.kind != kind) {
      *error = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    if (!AddHolder(*found)) {
      ReapSlot(*found);
      if (!AddHolder(*found)) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
      }
    }
    // An existing mutex is opened, never taken over: the initial owner request is ignored.
    *existed = true;
  } else {
    if (!create) {
      *error = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    auto freeSlot = [&]() -> Slot* {
      for (Slot& slot : table.slots)
        if (!slot.inUse) return &slot;
      return nullptr;
    };
    found = freeSlot();
    if (!found) {
      SweepTable(table);
      found = freeSlot();
    }
    if (!found) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    ObjectState& s = found->state;
    s.word.fetch_add(1);
    s.kind = kind;
    s.manualReset = manualReset;
    s.signaled = initialState;
    s.pulseSeq = 0;
    s.pulseTokens = 0;
    s.ownerPid = 0;
    s.ownerTid = 0;
    s.ownerStart = 0;
    s.recursion = 0;
    s.abandoned = 0;
    std::snprintf(found->name, sizeof found->name, "%s", name.c_str());
    std::memset(found->holders, 0, sizeof(found->holders));
    AddHolder(*found);
    found->inUse = 1;  // last, so that a sweep after a crash here sees a whole slot or none
    if (kind == kKindMutex && initialOwner) AcquireMutex(&s);
    *existed = false;
  }
  auto object = std::make_shared<NamedObject>();
  object->state = &found->state;
  object->shared = true;
  object->index = static_cast<int>(found - table.slots);
  object->generation = found->generation;
  return object;
}

}  // namespace winport::detail
