#include "SimState.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <orbids.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>
#include <winport/clock.h>
#include <winport/prefix.h>
#include <winport/registry.h>
#include <winport/unique_fd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace receiver_sim {

namespace {

// A constant table, so that it is there before any constructor runs: the libraries read the
// state from their load-time constructors.
constexpr Variable kVariables[] = {
    {"epoch", "", "C time the simulated receiver was switched on (set on first use and by reset)"},
    {"missing", "",
     "entry points the receiver libraries do not export, comma separated (e.g. "
     "VesddClearAddrStats); takes effect when a library is next loaded"},
    {"fail", "",
     "entry points that fail, comma separated (e.g. VesddGetStats,ORBDI_TestTCPStack), or all"},
    {"driver_error", "0",
     "code returned by VesddGetLastError (4 bind to port, 9 ICS not port mapped, 10 ICS protocol "
     "not bound)"},
    {"channel", "1", "channel handle VesddOpenChannel returns (a negative value fails the open)"},
    {"heartbeat", "100", "adapter heartbeat count at the epoch"},
    {"heartbeat_rate", "10", "heartbeat counts per second"},
    {"heartbeat_stopped", "0",
     "1: the adapter's processor is not running: its heartbeat count reads 0"},
    {"frames_processed", "0", "frames processed at the epoch"},
    {"frames_processed_rate", "50", "frames processed per second"},
    {"frames_accepted", "0", "frames accepted at the epoch"},
    {"frames_accepted_rate", "45", "frames accepted per second"},
    {"frames_rejected", "0", "frames rejected at the epoch"},
    {"frames_rejected_rate", "5", "frames rejected per second"},
    {"bytes_received", "0", "bytes received at the epoch"},
    {"bytes_received_rate", "20000", "bytes received per second (megabytes received follow)"},
    {"crc_errors", "0", "CRC error count at the epoch"},
    {"crc_errors_rate", "0", "CRC errors per second"},
    {"reset_count", "0", "driver reset count at the epoch"},
    {"reset_count_rate", "0", "driver resets per second"},
    {"low_on_buffers", "0", "low-on-buffers count at the epoch"},
    {"low_on_buffers_rate", "0", "low-on-buffers events per second"},
    {"data_limit_errors", "0", "data limit errors at the epoch"},
    {"data_limit_errors_rate", "0", "data limit errors per second"},
    {"f_errors", "0", "F errors at the epoch"},
    {"f_errors_rate", "0", "F errors per second"},
    {"multicast_adds", "3", "multicast adds at the epoch"},
    {"multicast_adds_rate", "0", "multicast adds per second"},
    {"signal_level", "90", "signal strength the signal wanders around"},
    {"signal_wander", "5", "the signal moves up to this much either side of its level"},
    {"signal_low", "50", "lower signal threshold (below it the signal is bad)"},
    {"signal_high", "70", "upper signal threshold (at or above it the signal is good)"},
    {"signal_drop", "0", "1: no signal (strength 0)"},
    {"site_id", "SITE0042", "site identifier (at most 9 characters are returned)"},
    {"serial", "A12345", "adapter serial number (at most 6 characters are returned)"},
    {"driver_version", "4.10.2195", "driver version text"},
    {"operation_mode", "1",
     "VesddGetDriverOperationMode result (1 DVB, 2 Classic; the module keeps the low 16 bits)"},
    {"address_stats",
     "Address 224.0.1.1\\nPackets 100\\nBytes 1048576\\nAddress 224.0.1.2\\nPackets 20\\nBytes "
     "65536",
     "address statistics text, lines separated by \\n"},
    {"ip_address", "172.16.42.2",
     "IP address the driver is bound to (10.0.0.2 is the driver's fallback: not set up)"},
    {"bound_ip_result", "1", "VesddGetBoundIPAddress result (1 = bound)"},
    {"ics_flags", "0",
     "ICS configuration flags (bit 0 installed, 1 shared, 2 bound, 3 port mapped)"},
    {"adapters", "2:8",
     "adapter list, bus:flags[:class] comma separated (bus 1 ISA, 2 PCI, 3 USB; flags 2 partial, "
     "4 disabled, 8 enabled, 16 USB network driver disabled; class as adapter_class); empty = "
     "none"},
    {"adapter_class", "2",
     "ORBDI_GetAdapterClass class (2 = DVB model) of adapters whose entry gives none"},
    {"adapter_type", "2", "ORBDI_GetAdapterType (2 PCI, 3 USB)"},
    {"platform_type", "",
     "ORBDI_GetPlatformType (3 NT 4, 4 Windows 2000, else 9x); empty = from the system version "
     "(WINPORT_OS_VERSION)"},
    {"tcp_stack", "1", "ORBDI_TestTCPStack result (1 = passes)"},
    {"proxy_service", "0", "ORBDI_ControlProxyService result (0 = started)"},
    {"is_winnt", "1", "Util_IsWinNT result"},
    {"suspend_on_load", "1",
     "Util_SuspendOnLoad result (0 = webcast service suspended, else not suspended)"},
    {"disk_total", "",
     "Util_GetTotalDiskSpace bytes; empty = the size of the file system holding the drive"},
    {"disk_free", "",
     "Util_GetFreeDiskSpace bytes; empty = the free bytes of the file system holding the drive"},
    {"receive_freq", "",
     "frequency last set through VesddSetReceiveFreq (written by the stand-in)"},
    {"exit_windows_count", "0",
     "times Util_ExitWindows was called (the stand-in never restarts the PC; each call is also a "
     "line in receiver-sim/trace.log)"},
    {"vesndis", "VESNDIS0",
     "MS-DOS device name of the NT network driver (<prefix>/devices/NAME, written whenever "
     "the state is); empty = not installed"},
    {"ndis_frames_received", "1000",
     "frames the NT network driver reports received (NDIS OID_GEN_RCV_OK); empty = the "
     "driver does not answer the query"},
    {"pci_entries", "1",
     "adapter entries under HKLM\\Enum\\PCI (named with the adapter's PCI vendor id, each with "
     "one described instance; written whenever the state is; 2 or more are duplicates)"},
    {"usb_entries", "0",
     "adapter entries under HKLM\\Enum\\USB (named with the adapter's USB vendor id)"},
    {"usb_present", "1", "0: the USB adapter does not answer (USBOpenDevice fails)"},
    {"usb_error", "0", "USBGetLastError result"},
    {"trellis_present", "1", "0: TrellisOpenChannel fails"},
    {"trellis_error", "0", "TrellisGetLastError result"},
    {"wcsetup_result", "0", "acSetupService result (0 = success)"},
    {"wcsetup_count", "0", "times acSetupService was called (written by the stand-in)"},
    {"proxy_service_count", "0",
     "times ORBDI_ControlProxyService was called (written by the stand-in)"},
    {"good_sets", "",
     "parameter sets the receiver locks with: sets separated by ';', each NAME=VALUE pairs of "
     "Winvesdd values separated by ',' (e.g. VESDD_RX_FREQ=12380,ReceiveSymbolRate=27500); "
     "empty = any tuning locks"},
    {"locked", "1",
     "1 while the receiver holds its lock; every VesddSetReceiveFreq sets it from good_sets "
     "(0 = no signal until a tuning matches; set it to 0 to lose the lock)"},
    {"acquire_time", "0", "seconds after a VesddSetReceiveFreq before the signal is there"},
    {"tuned_at", "", "C time of the last VesddSetReceiveFreq (written by the stand-in)"},
    {"proxy_load_on_startup", "TRUE",
     "webcast program's ProxyTest.ini LoadOnStartUp (empty: the key is left out)"},
    {"proxy_running", "Running", "ProxyTest.ini ProxyServer (Running = the proxy runs)"},
    {"browsers_installed", "installed",
     "ProxyTest.ini BrowsersInstalled (installed, notinstalled)"},
    {"browsers_config", "proxysettinigOK",
     "ProxyTest.ini BrowsersConfig (proxysettinigOK, proxysettinigNotOK)"},
    {"proxy_profile", "EXISTS", "ProxyTest.ini Profile (EXISTS, NOTEXISTS)"},
    {"default_browser", "EXISTS", "ProxyTest.ini Defbrowser (EXISTS, NOTEXISTS)"},
    {"castview_hang", "0",
     "1: the webcast program waits, doing nothing, until this is 0 again, then ends"},
    {"castview_test_count", "0",
     "times the webcast program ran /PROXYSERVERTEST (written by the stand-in)"},
    {"castview_repair_count", "0",
     "times the webcast program ran /PROXYTESTCORRECTIVEACTION (written by the stand-in)"},
    {"irq_result", "0",
     "IRQ checker's ResultCode (0 success, 1 failed; empty: the value is left out)"},
    {"irq_adapter_irq", "11", "the adapter's IRQ in the checker's log (empty: no IRQ shown)"},
    {"irq_devices", "1234:5678:9:Sound Card;4321:8765:5:Network Card",
     "other PCI devices in the checker's log: VENDOR:DEVICE:IRQ[:DESCRIPTION];... (with a "
     "description, the stand-in also makes its Enum\\PCI entry)"},
    {"irq_log", "1", "0: the IRQ checker writes no log"},
    {"irq_log_text", "",
     "written as the IRQ checker's log instead of the devices (\\n: line feed)"},
    {"irq_hang", "0", "1: the IRQ checker waits, doing nothing, until this is 0 again, then ends"},
    {"irq_count", "0", "times the IRQ checker ran (written by the stand-in)"},
};

std::map<std::string, std::string> ReadFile() {
  std::map<std::string, std::string> values;
  std::ifstream in(StateFile());
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto eq = line.find('=');
    if (eq == std::string::npos || line[0] == '#') continue;
    values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// The NT network driver's device as winport describes devices: its target and its answer to
// the NDIS statistics query for frames received. Other driver devices go away.
void WriteDevices(const std::map<std::string, std::string>& values) {
  auto value = [&](const char* name) {
    auto it = values.find(name);
    if (it != values.end()) return it->second;
    const Variable* v = FindVariable(name);
    return std::string(v ? v->defaultValue : "");
  };
  std::filesystem::path dir = winport::PrefixPath() / "devices";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string device = value("vesndis");
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (strncasecmp(name.c_str(), "VESNDIS", 7) == 0 && name != device)
      std::filesystem::remove(entry.path(), ec);
  }
  if (device.empty() || device.find_first_of("/\\") != std::string::npos) return;
  std::string text = "target=\\Device\\" + device + "\n";
  const std::string frames = value("ndis_frames_received");
  if (!frames.empty()) {
    std::uint32_t n = static_cast<std::uint32_t>(std::strtoull(frames.c_str(), nullptr, 0));
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", n & 0xff, (n >> 8) & 0xff, (n >> 16) & 0xff,
                  n >> 24);
    text += std::string("ioctl.00170002.02010200=") + hex + "\n";
  }
  std::filesystem::path temp = dir / (device + ".tmp" + std::to_string(::getpid()));
  std::ofstream(temp, std::ios::trunc) << text;
  std::filesystem::rename(temp, dir / device, ec);
}

// Deletes a key and everything below it.
void DeleteKeyTree(winport::HKEY parent, const std::string& name) {
  winport::HKEY key = nullptr;
  if (winport::RegOpenKeyExA(parent, name.c_str(), 0, winport::KEY_ALL_ACCESS, &key) ==
      winport::ERROR_SUCCESS) {
    char child[260];
    while (winport::RegEnumKeyA(key, 0, child, sizeof child) == winport::ERROR_SUCCESS)
      DeleteKeyTree(key, child);
    winport::RegCloseKey(key);
  }
  winport::RegDeleteKeyA(parent, name.c_str());
}

// The adapter's entries in the system's device registry: `count` entries whose names carry
// `pattern`, each with one instance described as the adapter; other such entries go away.
void WriteDeviceEntries(const char* bus, const char* pattern, const char* description,
                        long long count) {
  std::string path = std::string("Enum\\") + bus;
  winport::HKEY root = nullptr;
  winport::DWORD disposition = 0;
  if (winport::RegCreateKeyExA(winport::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                               winport::KEY_ALL_ACCESS, nullptr, &root,
                               &disposition) != winport::ERROR_SUCCESS)
    return;
  std::vector<std::string> stale;
  char name[260];
  for (winport::DWORD i = 0;
       winport::RegEnumKeyA(root, i, name, sizeof name) == winport::ERROR_SUCCESS; ++i)
    if (std::strstr(name, pattern) != nullptr) stale.push_back(name);
  for (const std::string& entry : stale) DeleteKeyTree(root, entry);
  if (count > 64) count = 64;
  for (long long n = 1; n <= count; ++n) {
    char entry[128];
    std::snprintf(entry, sizeof entry, "%s0001&SUBSYS_%08llX\\BUS_00&DEV_%02llX", pattern, n, n);
    winport::HKEY key = nullptr;
    if (winport::RegCreateKeyExA(root, entry, 0, nullptr, 0, winport::KEY_ALL_ACCESS, nullptr, &key,
                                 &disposition) != winport::ERROR_SUCCESS)
      continue;
    winport::RegSetValueExA(key, "DeviceDesc", 0, winport::REG_SZ,
                            reinterpret_cast<const winport::BYTE*>(description),
                            static_cast<winport::DWORD>(std::strlen(description) + 1));
    winport::RegCloseKey(key);
  }
  winport::RegCloseKey(root);
}

bool WriteFile(const std::map<std::string, std::string>& values, std::string* error) {
  std::filesystem::path file = StateFile();
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::filesystem::path temp = file;
  temp += ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto& [name, value] : values) out << name << '=' << value << '\n';
    out.flush();
    if (!out) {
      if (error) *error = "cannot write " + temp.string();
      return false;
    }
  }
  std::filesystem::rename(temp, file, ec);
  if (ec) {
    if (error) *error = "cannot replace " + file.string() + ": " + ec.message();
    std::filesystem::remove(temp, ec);
    return false;
  }
  WriteDevices(values);
  auto count = [&](const char* name) {
    auto it = values.find(name);
    return std::strtoll(it != values.end() ? it->second.c_str() : FindVariable(name)->defaultValue,
                        nullptr, 0);
  };
  WriteDeviceEntries("PCI", ORB_PCI_DEVICE_PATTERN, ORB_PCI_DEVICE_DESC, count("pci_entries"));
  WriteDeviceEntries("USB", ORB_USB_DEVICE_PATTERN, "Satellite Receiver USB Adapter",
                     count("usb_entries"));
  return true;
}

}  // namespace

const std::vector<Variable>& Variables() {
  static const std::vector<Variable> all(std::begin(kVariables), std::end(kVariables));
  return all;
}

const Variable* FindVariable(const std::string& name) {
  for (const auto& v : kVariables)
    if (name == v.name) return &v;
  return nullptr;
}

std::filesystem::path StateFile() {
  return winport::PrefixPath() / "receiver-sim" / "state.ini";
}

SimState SimState::Load() {
  SimState state;
  state.m_values = ReadFile();
  if (state.m_values.find("epoch") == state.m_values.end()) {
    const std::string now = std::to_string(static_cast<long long>(winport::Now()));
    // Another process may set it first: the first one's stays.
    UpdateValues([&](auto& values) { values.try_emplace("epoch", now); }, nullptr);
    state.m_values = ReadFile();
    if (state.m_values.find("epoch") == state.m_values.end()) state.m_values["epoch"] = now;
  }
  return state;
}

std::string SimState::Get(const std::string& name) const {
  auto it = m_values.find(name);
  if (it != m_values.end()) return it->second;
  const Variable* v = FindVariable(name);
  return v ? v->defaultValue : "";
}

long long SimState::GetInt(const std::string& name) const {
  std::string text = Get(name);
  return std::strtoll(text.c_str(), nullptr, 0);
}

std::string SimState::GetText(const std::string& name) const {
  std::string raw = Get(name), out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += raw[i];
    }
  }
  return out;
}

bool SimState::Fails(const char* entryPoint) const {
  std::string list = Get("fail");
  if (list == "all") return true;
  std::stringstream in(list);
  std::string item;
  while (std::getline(in, item, ','))
    if (item == entryPoint) return true;
  return false;
}

long long SimState::Elapsed() const {
  long long elapsed = static_cast<long long>(winport::Now()) - GetInt("epoch");
  return elapsed < 0 ? 0 : elapsed;
}

std::uint32_t SimState::Counter(const std::string& name) const {
  if (name == "heartbeat" && GetInt("heartbeat_stopped") != 0) return 0;
  long long rate = GetInt(name + "_rate");
  return static_cast<std::uint32_t>(GetInt(name) + rate * Elapsed());
}

std::uint16_t SimState::Signal() const {
  if (GetInt("signal_drop") != 0) return 0;
  // No signal without a lock, nor while an acquisition is still under way.
  if (GetInt("locked") == 0) return 0;
  if (!Get("tuned_at").empty()) {
    long long since = static_cast<long long>(winport::Now()) - GetInt("tuned_at");
    if (since >= 0 && since < GetInt("acquire_time")) return 0;
  }
  long long level = GetInt("signal_level"), wander = GetInt("signal_wander");
  if (wander > 0) {
    // A triangle wave over time: level - wander .. level + wander and back.
    long long period = 4 * wander, phase = Elapsed() % period;
    long long offset = phase < 2 * wander ? phase - wander : 3 * wander - phase;
    level += offset;
  }
  if (level < 0) level = 0;
  if (level > 0xFFFF) level = 0xFFFF;
  return static_cast<std::uint16_t>(level);
}

bool UpdateValues(const std::function<void(std::map<std::string, std::string>&)>& change,
                  std::string* error) {
  // Writers take turns through an advisory lock on a file beside the state: each reads, changes
  // and writes the whole file, and without turns one process's change could undo another's.
  // Readers need no turn, as the file is replaced whole.
  const std::filesystem::path file = StateFile();
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  std::filesystem::path lockName = file;
  lockName += ".lock";
  winport::UniqueFd lock(::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock) {
    if (error) *error = "cannot open " + lockName.string() + ": " + std::strerror(errno);
    return false;
  }
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    if (error) *error = "cannot lock " + lockName.string() + ": " + std::strerror(errno);
    return false;
  }
  auto values = ReadFile();
  change(values);
  return WriteFile(values, error);  // closing the lock's descriptor ends the turn
}

bool SetValue(const std::string& name, const std::string& value, std::string* error) {
  return UpdateValues([&](auto& values) { values[name] = value; }, error);
}

bool SetValues(const std::map<std::string, std::string>& changes, std::string* error) {
  return UpdateValues(
      [&](auto& values) {
        for (const auto& [name, value] : changes) values[name] = value;
      },
      error);
}

bool ResetState(std::string* error) {
  return UpdateValues(
      [](auto& values) {
        values.clear();
        values["epoch"] = std::to_string(static_cast<long long>(winport::Now()));
      },
      error);
}

void CopyText(char* buffer, std::size_t size, const std::string& text) {
  if (buffer == nullptr || size == 0) return;
  std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

void PutU32(void* buffer, std::size_t offset, std::uint32_t value) {
  auto* p = static_cast<unsigned char*>(buffer) + offset;
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

void PutU16(void* buffer, std::size_t offset, std::uint16_t value) {
  auto* p = static_cast<unsigned char*>(buffer) + offset;
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

}  // namespace receiver_sim

// Lookups by name compare the requested name with the library's dynamic string table, so
// renaming an entry point's string there (the first character becomes '!') makes the lookup
// miss, exactly as if the library did not export it. Only this process's copy changes.
namespace receiver_sim {

namespace {

struct LibraryImage {
  ElfW(Addr) base = 0;
  const ElfW(Phdr) * phdr = nullptr;
  int phnum = 0;
};

int FindImage(struct dl_phdr_info* info, size_t, void* data) {
  auto* image = static_cast<LibraryImage*>(data);
  if (info->dlpi_addr != image->base) return 0;
  image->phdr = info->dlpi_phdr;
  image->phnum = info->dlpi_phnum;
  return 1;
}

}  // namespace

void HideMissingEntryPoints(const void* anyAddressInLibrary) {
  std::string list = SimState::Load().Get("missing");
  if (list.empty()) return;
  Dl_info dl{};
  if (dladdr(anyAddressInLibrary, &dl) == 0 || dl.dli_fbase == nullptr) return;
  LibraryImage image;
  image.base = reinterpret_cast<ElfW(Addr)>(dl.dli_fbase);
  if (dl_iterate_phdr(FindImage, &image) == 0 || image.phdr == nullptr) return;

  char* strtab = nullptr;
  std::size_t strsz = 0;
  for (int i = 0; i < image.phnum; ++i) {
    if (image.phdr[i].p_type != PT_DYNAMIC) continue;
    auto* dyn = reinterpret_cast<const ElfW(Dyn)*>(image.base + image.phdr[i].p_vaddr);
    for (; dyn->d_tag != DT_NULL; ++dyn) {
      if (dyn->d_tag == DT_STRTAB) {
        ElfW(Addr) address = dyn->d_un.d_ptr;
        // The loader may or may not have relocated the entry in place.
        if (address < image.base) address += image.base;
        strtab = reinterpret_cast<char*>(address);
      } else if (dyn->d_tag == DT_STRSZ) {
        strsz = dyn->d_un.d_val;
      }
    }
  }
  if (strtab == nullptr || strsz == 0) return;
  // The protection of the segment holding the table, to put back afterwards.
  int protection = PROT_READ;
  for (int i = 0; i < image.phnum; ++i) {
    const ElfW(Phdr)& p = image.phdr[i];
    ElfW(Addr) start = image.base + p.p_vaddr;
    if (p.p_type == PT_LOAD && reinterpret_cast<ElfW(Addr)>(strtab) >= start &&
        reinterpret_cast<ElfW(Addr)>(strtab) < start + p.p_memsz) {
      protection = ((p.p_flags & PF_R) ? PROT_READ : 0) | ((p.p_flags & PF_W) ? PROT_WRITE : 0) |
                   ((p.p_flags & PF_X) ? PROT_EXEC : 0);
    }
  }
  long pageSize = sysconf(_SC_PAGESIZE);
  std::stringstream in(list);
  std::string name;
  while (std::getline(in, name, ',')) {
    if (name.empty()) continue;
    for (std::size_t at = 0; at + name.size() < strsz; ++at) {
      if ((at == 0 || strtab[at - 1] == '\0') &&
          std::memcmp(strtab + at, name.data(), name.size()) == 0 &&
          strtab[at + name.size()] == '\0') {
        auto page =
            reinterpret_cast<ElfW(Addr)>(strtab + at) & ~static_cast<ElfW(Addr)>(pageSize - 1);
        void* p = reinterpret_cast<void*>(page);
        if (mprotect(p, static_cast<std::size_t>(pageSize) * 2, PROT_READ | PROT_WRITE) != 0) break;
        strtab[at] = '!';
        mprotect(p, static_cast<std::size_t>(pageSize) * 2, protection);
        break;
      }
    }
  }
}

std::string InstallDirectory() {
  winport::HKEY key = nullptr;
  if (winport::RegOpenKeyExA(winport::HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessaline\\Orbilink", 0,
                             winport::KEY_READ, &key) != winport::ERROR_SUCCESS)
    return "";
  char text[500] = {};
  winport::DWORD type = 0;
  winport::DWORD size = sizeof text - 1;
  winport::LONG rc = winport::RegQueryValueExA(key, "MainDirectory", nullptr, &type,
                                               reinterpret_cast<winport::BYTE*>(text), &size);
  winport::RegCloseKey(key);
  return rc == winport::ERROR_SUCCESS && type == winport::REG_SZ ? std::string(text)
                                                                 : std::string();
}

}  // namespace receiver_sim
