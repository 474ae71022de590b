#include "servala/util.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "paths.h"

#if __has_include(<winport/registry.h>)
#include <winport/registry.h>
#define SERVALA_HAVE_REGISTRY 1
#endif

namespace servala {

namespace fs = std::filesystem;

bool cls_WinUtil::FileExists(const std::string& path) const {
  std::error_code ec;
  auto st = fs::status(ToHostPath(path), ec);
  return !ec && fs::is_regular_file(st);
}

bool cls_WinUtil::PathExists(const std::string& path) const {
  std::error_code ec;
  auto st = fs::status(ToHostPath(path), ec);
  return !ec && (fs::is_regular_file(st) || fs::is_directory(st));
}

std::string CRegSettings::ReadValue(const std::string& rootName, const std::string& keyPath,
                                    const std::string& valueName,
                                    const std::string& defaultValue) const {
#ifdef SERVALA_HAVE_REGISTRY
  using namespace winport;
  static const char* const kRoots[] = {
      "HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE", "HKEY_USERS",
      "HKEY_PERFOrMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
  HKEY root = nullptr;
  for (std::uintptr_t i = 0; i < std::size(kRoots); ++i)
    if (rootName == kRoots[i]) root = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000} + i);
  if (root == nullptr) return defaultValue;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, keyPath.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return defaultValue;
  const char* name = valueName == "*" ? nullptr : valueName.c_str();
  std::string result = defaultValue;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    std::vector<BYTE> buf(size);
    DWORD got = size;
    if (RegQueryValueExA(key, name, nullptr, nullptr, buf.data(), &got) == ERROR_SUCCESS &&
        got > 0) {
      // The data without its terminating zero.
      result.assign(reinterpret_cast<const char*>(buf.data()), got - 1);
    }
  }
  RegCloseKey(key);
  return result;
#else
  (void)rootName;
  (void)keyPath;
  (void)valueName;
  return defaultValue;
#endif
}

bool cls_WinSock::Startup() {
  started_ = true;
  return true;
}

std::string cls_WinSock::HostNameFromAddress(const std::string& address) const {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return "";
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                  NI_NAMEREQD) != 0)
    return "";
  return std::string(host, strnlen(host, sizeof host));
}

void cls_WinSock::Cleanup() {
  started_ = false;
}

bool cls_INet::Startup() {
  return true;
}
void cls_INet::Cleanup() {}

std::string cls_INet::AddressFromHostName(const std::string& host) const {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return "";
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, buf, sizeof buf);
  freeaddrinfo(res);
  return buf;
}

std::string cls_INet::HostNameFromAddress(const std::string& address) const {
  return cls_WinSock().HostNameFromAddress(address);
}

struct HostNames::State {
  struct Known {
    std::string name;
    std::chrono::steady_clock::time_point at;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::unordered_map<std::string, Known> known;
  std::deque<std::string> queue;
  bool working = false;
  bool stopping = false;
  std::thread worker;  // joinable while it runs

  void Work();
};

namespace {
constexpr std::size_t kMaxKnownNames = 1024;
constexpr std::size_t kMaxQueuedLookups = 64;
constexpr auto kNameLifetime = std::chrono::minutes(10);
}  // namespace

HostNames::HostNames() : state_(std::make_unique<State>()) {}

HostNames::~HostNames() {
  Stop();
}

void HostNames::State::Work() {
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [&] { return stopping || !queue.empty(); });
    if (stopping) return;
    const std::string address = queue.front();
    working = true;
    lock.unlock();
    cls_WinSock ws;
    ws.Startup();
    std::string name = ws.HostNameFromAddress(address);
    ws.Cleanup();
    lock.lock();
    if (known.size() >= kMaxKnownNames) known.clear();
    known[address] = Known{std::move(name), std::chrono::steady_clock::now()};
    if (!queue.empty()) queue.pop_front();
    working = false;
    changed.notify_all();
  }
}

std::optional<std::string> HostNames::Find(const std::string& address) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  const auto now = std::chrono::steady_clock::now();
  if (auto it = s.known.find(address); it != s.known.end()) {
    if (now - it->second.at < kNameLifetime) return it->second.name;
    s.known.erase(it);
  }
  if (s.queue.size() < kMaxQueuedLookups &&
      std::find(s.queue.begin(), s.queue.end(), address) == s.queue.end())
    s.queue.push_back(address);
  if (!s.worker.joinable()) s.worker = std::thread([&s] { s.Work(); });
  s.changed.notify_all();
  return std::nullopt;
}

void HostNames::Stop() {
  State& s = *state_;
  std::thread worker;
  {
    std::lock_guard lock(s.mutex);
    if (!s.worker.joinable()) return;
    s.stopping = true;
    s.queue.clear();
    worker = std::move(s.worker);
  }
  s.changed.notify_all();
  worker.join();
  std::lock_guard lock(s.mutex);
  s.stopping = false;
  s.working = false;
  s.changed.notify_all();
}

void HostNames::WaitIdle() {
  State& s = *state_;
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&] { return s.queue.empty() && !s.working; });
}

}  // namespace servala
