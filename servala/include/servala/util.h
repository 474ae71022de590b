// Small utility classes of the HTTP control: file queries, registry values, name look-ups.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace servala {

class cls_WinUtil {
 public:
  // True when a directory search finds `path` as a file; any error gives false.
  bool FileExists(const std::string& path) const;
  // True when `path` exists as a file or a directory; any error gives false.
  bool PathExists(const std::string& path) const;
};

class CRegSettings {
 public:
  // The text of value `valueName` ("*" for the key's unnamed value) of `keyPath` under the root
  // named `rootName` ("HKEY_CLASSES_ROOT", ...), or `defaultValue` when it cannot be read.
  std::string ReadValue(const std::string& rootName, const std::string& keyPath,
                        const std::string& valueName, const std::string& defaultValue) const;
};

class cls_WinSock {
 public:
  bool Startup();
  // The host name registered for a dotted IPv4 address, "" on failure.
  std::string HostNameFromAddress(const std::string& address) const;
  void Cleanup();

 private:
  bool started_ = false;
};

class cls_INet {
 public:
  bool Startup();
  void Cleanup();
  // First IPv4 address of `host`, "" when it cannot be resolved.
  std::string AddressFromHostName(const std::string& host) const;
  std::string HostNameFromAddress(const std::string& address) const;
};

// Host names of peer addresses, looked up on a worker thread of their own so that a slow name
// server never holds the event loop; answers are kept for a while. One worker per object, started
// at the first look-up and ended by Stop or the destructor.
class HostNames {
 public:
  HostNames();
  ~HostNames();
  HostNames(const HostNames&) = delete;
  HostNames& operator=(const HostNames&) = delete;

  // The name of `address` ("" when it has none), or nothing yet: then a look-up is started.
  std::optional<std::string> Find(const std::string& address);
  // Drops the look-ups not yet started and ends the worker, waiting for a look-up under way
  // (the system's resolver bounds it). Answers already known are kept; a later Find starts a
  // new worker.
  void Stop();
  // Waits until no look-up is under way or waiting (for tests).
  void WaitIdle();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace servala
