// dak-send: writes one usability record into "\\.\mailslot\DAKUsabilitySlot", little-endian,
// laid out as the product's programs write them. Exit 0 when written, 1 when no mailslot
// exists (or the write failed), 2 on a usage error.
#include <winport/clock.h>
#include <winport/error.h>
#include <winport/file.h>
#include <winport/handle.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kSlot = "\\\\.\\mailslot\\DAKUsabilitySlot";

const char* const kUsage =
    "usage: dak-send runningtime start|stop [--time T]\n"
    "       dak-send znstatus PHONE busy|attempt\n"
    "       dak-send pd --status N [--size BYTES] [--reason R] [--loads N] [--client S]\n"
    "                   [--provider S] [--description S] [--topic S] [--mask HEX]\n"
    "                   [--status-byte N] [--fsd T] [--frd T]\n"
    "       dak-send newscast MBYTES INCOMPLETE COMPLETE HEADERS ARTICLES\n"
    "       dak-send connstate STATE      (0|idle, 1|connecting, 2|connected)\n"
    "       dak-send generic SECTION KEY VALUE\n"
    "       dak-send delwcprops\n"
    "       dak-send adapterstate\n"
    "       dak-send raw HEX\n";

struct UsageError {
  std::string what;
};

class Record {
 public:
  explicit Record(std::size_t size = 0) : m_bytes(size, 0) {}
  void PutU32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) m_bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void PutU16(std::size_t at, std::uint16_t v) {
    m_bytes[at] = static_cast<std::uint8_t>(v);
    m_bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  void PutU64(std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) m_bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  void PutByte(std::size_t at, std::uint8_t v) { m_bytes[at] = v; }
  // Zero-terminated text in a field of `width` bytes.
  void PutText(std::size_t at, std::size_t width, const std::string& text, const char* field) {
    if (text.size() + 1 > width) {
      throw UsageError{std::string(field) + " is longer than " + std::to_string(width - 1) +
                       " characters"};
    }
    std::memcpy(m_bytes.data() + at, text.data(), text.size());
  }
  void Append(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    m_bytes.insert(m_bytes.end(), p, p + size);
  }
  const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }

 private:
  std::vector<std::uint8_t> m_bytes;
};

std::uint64_t Number(const std::string& text, const char* what, int base = 10,
                     std::uint64_t max = UINT32_MAX) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || v > max) {
    throw UsageError{std::string("bad ") + what + ": " + text};
  }
  return v;
}

std::int64_t SignedNumber(const std::string& text, const char* what, std::int64_t min,
                          std::int64_t max) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max) {
    throw UsageError{std::string("bad ") + what + ": " + text};
  }
  return v;
}

Record RunningTime(const std::vector<std::string>& a) {
  if (a.size() != 1 && a.size() != 3) throw UsageError{"runningtime start|stop [--time T]"};
  std::uint32_t status;
  if (a[0] == "start") {
    status = 0;
  } else if (a[0] == "stop") {
    status = 1;
  } else {
    throw UsageError{"runningtime status must be start or stop"};
  }
  std::uint32_t time = static_cast<std::uint32_t>(winport::Now());
  if (a.size() == 3) {
    if (a[1] != "--time") throw UsageError{"unknown option " + a[1]};
    time = static_cast<std::uint32_t>(Number(a[2], "time"));
  }
  Record r(12);
  r.PutU32(0, 0);
  r.PutU32(4, time);
  r.PutU32(8, status);
  return r;
}

Record ZnStatus(const std::vector<std::string>& a) {
  if (a.size() != 2) throw UsageError{"znstatus PHONE busy|attempt"};
  std::uint32_t status;
  if (a[1] == "busy") {
    status = 0;
  } else if (a[1] == "attempt") {
    status = 1;
  } else {
    throw UsageError{"znstatus status must be busy or attempt"};
  }
  Record r(264);
  r.PutU32(0, 1);
  r.PutText(4, 256, a[0], "phone number");
  r.PutU32(260, status);
  return r;
}

Record Pd(const std::vector<std::string>& a) {
  Record r(584);
  r.PutU32(0, 2);
  constexpr std::size_t kBase = 4;  // the delivery record follows the identifier
  std::uint32_t now = static_cast<std::uint32_t>(winport::Now());
  r.PutU32(kBase + 0, now);
  r.PutU32(kBase + 4, now);
  bool haveStatus = false;
  if (a.size() % 2 != 0) throw UsageError{"pd options come in pairs"};
  for (std::size_t i = 0; i < a.size(); i += 2) {
    const std::string& opt = a[i];
    const std::string& v = a[i + 1];
    if (opt == "--status") {
      r.PutU32(kBase + 8, static_cast<std::uint32_t>(Number(v, "status")));
      haveStatus = true;
    } else if (opt == "--size") {
      r.PutU32(kBase + 576, static_cast<std::uint32_t>(Number(v, "size")));
    } else if (opt == "--reason") {
      r.PutU16(kBase + 12, static_cast<std::uint16_t>(Number(v, "reason", 10, UINT16_MAX)));
    } else if (opt == "--loads") {
      r.PutU32(kBase + 16, static_cast<std::uint32_t>(Number(v, "loads")));
    } else if (opt == "--client") {
      r.PutText(kBase + 20, 11, v, "client");
    } else if (opt == "--provider") {
      r.PutText(kBase + 31, 11, v, "provider");
    } else if (opt == "--description") {
      r.PutText(kBase + 42, 512, v, "description");
    } else if (opt == "--topic") {
      r.PutText(kBase + 554, 14, v, "topic");
    } else if (opt == "--mask") {
      r.PutU32(kBase + 568, static_cast<std::uint32_t>(Number(v, "mask", 16)));
    } else if (opt == "--status-byte") {
      r.PutByte(kBase + 572, static_cast<std::uint8_t>(SignedNumber(v, "status byte", -128, 127)));
    } else if (opt == "--fsd") {
      r.PutU32(kBase + 0, static_cast<std::uint32_t>(Number(v, "fsd")));
    } else if (opt == "--frd") {
      r.PutU32(kBase + 4, static_cast<std::uint32_t>(Number(v, "frd")));
    } else {
      throw UsageError{"unknown pd option " + opt};
    }
  }
  if (!haveStatus) throw UsageError{"pd needs --status N"};
  return r;
}

Record Newscast(const std::vector<std::string>& a) {
  if (a.size() != 5) throw UsageError{"newscast MBYTES INCOMPLETE COMPLETE HEADERS ARTICLES"};
  Record r(32);
  r.PutU32(0, 3);
  r.PutU64(8, Number(a[0], "megabytes", 10, UINT64_MAX));
  r.PutU32(16, static_cast<std::uint32_t>(Number(a[1], "incomplete count")));
  r.PutU32(20, static_cast<std::uint32_t>(Number(a[2], "complete count")));
  r.PutU32(24, static_cast<std::uint32_t>(Number(a[3], "headers")));
  r.PutU32(28, static_cast<std::uint32_t>(Number(a[4], "articles")));
  return r;
}

Record ConnState(const std::vector<std::string>& a) {
  if (a.size() != 1) throw UsageError{"connstate STATE"};
  std::uint32_t state;
  if (a[0] == "idle") {
    state = 0;
  } else if (a[0] == "connecting") {
    state = 1;
  } else if (a[0] == "connected") {
    state = 2;
  } else {
    state = static_cast<std::uint32_t>(Number(a[0], "state"));
  }
  Record r(8);
  r.PutU32(0, 4);
  r.PutU32(4, state);
  return r;
}

Record Generic(const std::vector<std::string>& a) {
  if (a.size() != 3) throw UsageError{"generic SECTION KEY VALUE"};
  Record r(4);
  r.PutU32(0, 5);
  for (const std::string& s : a) {
    std::uint8_t len[4];
    std::uint32_t n = static_cast<std::uint32_t>(s.size() + 1);
    for (int i = 0; i < 4; ++i) len[i] = static_cast<std::uint8_t>(n >> (8 * i));
    r.Append(len, 4);
    r.Append(s.c_str(), s.size() + 1);
  }
  return r;
}

Record IdOnly(const std::vector<std::string>& a, std::uint32_t id, const char* name) {
  if (!a.empty()) throw UsageError{std::string(name) + " takes no arguments"};
  Record r(4);
  r.PutU32(0, id);
  return r;
}

Record Raw(const std::vector<std::string>& a) {
  if (a.size() != 1) throw UsageError{"raw HEX"};
  std::string hex;
  for (char c : a[0]) {
    if (c != ' ' && c != ':') hex += c;
  }
  if (hex.size() % 2 != 0) throw UsageError{"raw needs an even number of hex digits"};
  Record r;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    std::uint8_t b = static_cast<std::uint8_t>(Number(hex.substr(i, 2), "hex byte", 16, 255));
    r.Append(&b, 1);
  }
  return r;
}

Record Build(const std::string& kind, const std::vector<std::string>& a) {
  if (kind == "runningtime") return RunningTime(a);
  if (kind == "znstatus") return ZnStatus(a);
  if (kind == "pd") return Pd(a);
  if (kind == "newscast") return Newscast(a);
  if (kind == "connstate") return ConnState(a);
  if (kind == "generic") return Generic(a);
  if (kind == "delwcprops") return IdOnly(a, 7, "delwcprops");
  if (kind == "adapterstate") return IdOnly(a, 8, "adapterstate");
  if (kind == "raw") return Raw(a);
  throw UsageError{"unknown record " + kind};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  Record record;
  try {
    record = Build(argv[1], std::vector<std::string>(argv + 2, argv + argc));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "dak-send: %s\n%s", e.what.c_str(), kUsage);
    return 2;
  }

  winport::HANDLE slot =
      winport::CreateFileA(kSlot, winport::GENERIC_WRITE, winport::FILE_SHARE_READ, nullptr,
                           winport::OPEN_EXISTING, winport::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (slot == winport::INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "dak-send: no mailslot DAKUsabilitySlot (error %u)\n",
                 winport::GetLastError());
    return 1;
  }
  winport::DWORD written = 0;
  const auto& bytes = record.Bytes();
  winport::BOOL ok = winport::WriteFile(
      slot, bytes.data(), static_cast<winport::DWORD>(bytes.size()), &written, nullptr);
  winport::DWORD error = ok ? 0 : winport::GetLastError();
  winport::CloseHandle(slot);
  if (!ok) {
    std::fprintf(stderr, "dak-send: write failed (error %u)\n", error);
    return 1;
  }
  return 0;
}
