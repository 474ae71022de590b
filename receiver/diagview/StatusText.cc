#include "StatusText.h"

#include <vitalis/VitalisCtrlApi.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace {

struct CodeName {
  int code;
  const char* name;
};

#define CODE(name) \
  { name, #name }
constexpr CodeName kCodeNames[] = {
    CODE(DTS_SUCCESS),
    CODE(DTS_ADAPTER_NONE),
    CODE(DTS_ADAPTER_PCI),
    CODE(DTS_ADAPTER_USB),
    CODE(DTS_ADAPTER_PARTIAL_PCI),
    CODE(DTS_ADAPTER_PARTIAL_USB),
    CODE(DTS_ADAPTER_MULTI_USB_PCI),
    CODE(DTS_ADAPTER_MULTI_USB_ISA),
    CODE(DTS_ADAPTER_MULTI_ISA_PCI),
    CODE(DTS_ADAPTER_MULTI_ISA_PCI_USB),
    CODE(DTS_ADAPTER_ERROR_USB),
    CODE(DTS_ADAPTER_ERROR_USB_CARDOK),
    CODE(DTS_ADAPTER_ERROR_NO_HEARTBEAT),
    CODE(DTS_ADAPTER_ERROR_NOT_RESPONDING),
    CODE(DTS_ADAPTER_ERROR_NOT_RESPONDING_CARDOK),
    CODE(DTS_ADAPTER_ERROR_TRELLIS),
    CODE(DTS_ADAPTER_ISA),
    CODE(DTS_ADAPTER_PCIDVB),
    CODE(DTS_ADAPTER_USBDVB),
    CODE(DTS_ADAPTER_PCI_DISABLE),
    CODE(DTS_ADAPTER_USB_DISABLE),
    CODE(DTS_ADAPTER_ISA_DISABLE),
    CODE(DTS_ADAPTER_MULTI_USB_ALL_ENABLE),
    CODE(DTS_ADAPTER_MULTI_USB_ALL_DISABLE),
    CODE(DTS_ADAPTER_MULTI_USB_ATLEAST_ONE_ENABLE),
    CODE(DTS_ADAPTER_MULTI_PCI_ALL_ENABLE),
    CODE(DTS_ADAPTER_MULTI_PCI_ALL_DISABLE),
    CODE(DTS_ADAPTER_MULTI_PCI_ATLEAST_ONE_ENABLE),
    CODE(DTS_ADAPTER_USB_USBNDIS_DISABLE),
    CODE(DTS_ADAPTER_USBNDIS_DISABLE),
    CODE(DTS_DNS_FAILED),
    CODE(DTS_GETHOSTNAME_FAILED),
    CODE(DTS_THRESHOLD_EXCEED_TIME),
    CODE(DTS_DRIVER_FAILED),
    CODE(DTS_LOWONBUFFERS),
    CODE(DTS_RESET),
    CODE(DTS_CRCERROR),
    CODE(DTS_IRQ_FAILED),
    CODE(DTS_COMPONENTNOTFOUND),
    CODE(DTS_REGKEY_FAILED),
    CODE(DTS_PROXY_FAILED),
    CODE(DTS_LS_PXYRUNNING_BRNOTPXIED),
    CODE(DTS_LS_PXYRUNNING_NOBROWSER),
    CODE(DTS_LS_PXYNOTRUNNIG),
    CODE(DTS_NLS_PXYRUNNING),
    CODE(DTS_NLS_PXYNOTRUNNIG_BRCONFIG),
    CODE(DTS_PROFILENOT_EXIST),
    CODE(DTS_DEFBROWSER_NOTINSTALLED),
    CODE(DTS_SIGNAL_FAILED),
    CODE(DTS_TCPIP_FAILED),
    CODE(DTS_UDP_FAILURE),
    CODE(DTS_BINDTOPORT),
    CODE(DTS_ICSPROTOCOLNOTBOUND),
    CODE(DTS_ICSNOTPORTMAPPED),
    CODE(DTS_BOUNDIP),
    CODE(DTS_NEED_AUTOSETUP),
    CODE(DTS_TCP_UNKNOWNERR),
    CODE(DTS_UNEXPECTEDERR),
};
#undef CODE

bool ParseNumber(const std::string& text, int* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long number = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || number < -1000000 || number > 1000000) return false;
  *value = static_cast<int>(number);
  return true;
}

}  // namespace

std::vector<FailedTest> ParseFailedTests(const std::string& text) {
  std::vector<FailedTest> rows;
  std::istringstream items(text);
  std::string item;
  while (std::getline(items, item, ';')) {
    std::string::size_type comma = item.find(',');
    if (comma == std::string::npos) continue;
    FailedTest row;
    if (!ParseNumber(item.substr(0, comma), &row.id) ||
        !ParseNumber(item.substr(comma + 1), &row.code))
      continue;
    row.testName = TestDisplayName(row.id);
    row.codeName = StatusCodeName(row.code);
    row.advice = PlainAdvice(row.id, row.code);
    rows.push_back(row);
  }
  return rows;
}

std::string TestDisplayName(int id) {
  switch (id) {
    case DIAGTEST_ADAPTER:
      return "Adapter";
    case DIAGTEST_DNS:
      return "Name resolution (DNS)";
    case DIAGTEST_DRVT:
      return "Receive driver";
    case DIAGTEST_IRQ:
      return "Interrupt (IRQ)";
    case DIAGTEST_REGISTRY:
      return "Duplicate adapter entries";
    case DIAGTEST_PROXY:
      return "Proxy server";
    case DIAGTEST_SIGNAL:
      return "Signal strength";
    case DIAGTEST_TCPIP:
      return "TCP/IP";
    default:
      return "Test " + std::to_string(id);
  }
}

std::string StatusCodeName(int code) {
  for (const CodeName& entry : kCodeNames)
    if (entry.code == code) return entry.name;
  return "";
}

std::string PlainAdvice(int id, int code) {
  switch (code) {
    case DTS_ADAPTER_NONE:
      return "No receiver adapter was found. Check that it is plugged in.";
    case DTS_ADAPTER_ERROR_NO_HEARTBEAT:
    case DTS_ADAPTER_ERROR_NOT_RESPONDING:
      return "The receiver adapter does not answer. Restarting the PC usually helps.";
    case DTS_ADAPTER_PCI_DISABLE:
    case DTS_ADAPTER_USB_DISABLE:
    case DTS_ADAPTER_USB_USBNDIS_DISABLE:
    case DTS_ADAPTER_USBNDIS_DISABLE:
      return "The receiver adapter is disabled. Enable it in the device settings.";
    case DTS_NEED_AUTOSETUP:
    case DTS_BOUNDIP:
      return "The receiver's network address is not set up. Fix sets it up again.";
    case DTS_PROFILENOT_EXIST:
    case DTS_DEFBROWSER_NOTINSTALLED:
      return "No web browser is set up for the receiver's web service.";
    default:
      break;
  }
  switch (id) {
    case DIAGTEST_ADAPTER:
      return "The receiver adapter is not installed correctly. Fix repairs it.";
    case DIAGTEST_DNS:
      return "Internet names could not be looked up. Check your connection.";
    case DIAGTEST_DRVT:
      return "The receive driver reports errors. Check the dish and its cable.";
    case DIAGTEST_REGISTRY:
      return "The adapter is registered more than once. Fix cleans it up.";
    case DIAGTEST_PROXY:
      return "The proxy server for the browser is not set up right.";
    case DIAGTEST_SIGNAL:
      return "The satellite signal is weak. Check the dish's pointing.";
    case DIAGTEST_TCPIP:
      return "The network settings for the receiver are wrong. Fix repairs them.";
    default:
      return "This test failed.";
  }
}
