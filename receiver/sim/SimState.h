// The simulated receiver: one small text file, <prefix>/receiver-sim/state.ini, with one
// "name=value" line per setting. The stand-in libraries read it on every call, so a change
// made with `receiver-sim set` takes effect at once in every running process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace receiver_sim {

struct Variable {
  const char* name;
  const char* defaultValue;
  const char* help;
};

// Every setting, with its default and meaning (receiver-sim --help prints this table).
const std::vector<Variable>& Variables();
const Variable* FindVariable(const std::string& name);

std::filesystem::path StateFile();

class SimState {
 public:
  // The current state: the file's values over the defaults. Records "epoch" (the moment the
  // simulated receiver was switched on) on first use.
  static SimState Load();

  std::string Get(const std::string& name) const;
  long long GetInt(const std::string& name) const;
  // Text with "\n" escapes turned into line feeds.
  std::string GetText(const std::string& name) const;
  // True when `entryPoint` is named in "fail" (or "fail" is "all").
  bool Fails(const char* entryPoint) const;
  // A running counter: the value of `name` plus "<name>_rate" per second since the epoch.
  std::uint32_t Counter(const std::string& name) const;
  // Seconds since the epoch (never negative).
  long long Elapsed() const;
  // The current signal strength: 0 while "signal_drop" is set, without a lock ("locked" 0),
  // and for "acquire_time" seconds after each tuning.
  std::uint16_t Signal() const;

  const std::map<std::string, std::string>& Values() const { return m_values; }

 private:
  std::map<std::string, std::string> m_values;  // only what the file sets
};

// Changes to the file (written to a temporary file and renamed over the old one).
bool SetValue(const std::string& name, const std::string& value, std::string* error);
// Several changes that readers see together or not at all.
bool SetValues(const std::map<std::string, std::string>& changes, std::string* error);
bool ResetState(std::string* error);
// Reads the file, lets `change` change its values and writes them back, while no other process
// changes the file: read-modify-write changes made at once by several processes are all kept.
bool UpdateValues(const std::function<void(std::map<std::string, std::string>&)>& change,
                  std::string* error);

// Copies text into a buffer of `size` bytes, cut to fit and always terminated.
void CopyText(char* buffer, std::size_t size, const std::string& text);
// Stores a little-endian word into a byte buffer.
void PutU32(void* buffer, std::size_t offset, std::uint32_t value);
void PutU16(void* buffer, std::size_t offset, std::uint16_t value);

// The product's install folder ("MainDirectory" under the product's key), or "" when unset.
std::string InstallDirectory();

}  // namespace receiver_sim

namespace receiver_sim {

// Hides the entry points named in the "missing" setting from lookups by name in the library
// that contains `anyAddressInLibrary`, the way a library build without them would look. Run
// once when the library is loaded.
void HideMissingEntryPoints(const void* anyAddressInLibrary);

}  // namespace receiver_sim
