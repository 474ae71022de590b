// Stand-in for the product's webcast program ("%s\webpkg\castview.exe" under the install
// directory). With /PROXYSERVERTEST it checks the webcast proxy and the browsers, here the
// simulation's settings, and writes its findings to "ProxyTest.ini" beside itself; with
// /PROXYTESTCORRECTIVEACTION it repairs them: the browsers get the proxy settings and the proxy
// runs exactly when it is loaded on start-up. "castview_hang" keeps it waiting, to stand for a
// program that does not end; let go, it ends without doing anything.
#include <strings.h>
#include <winport/clock.h>
#include <winport/profile.h>
#include <winport/registry.h>

#include <cstdio>
#include <string>

#include "SimState.h"

using namespace winport;

using receiver_sim::InstallDirectory;

namespace {

void Count(const char* name) {
  receiver_sim::SimState state = receiver_sim::SimState::Load();
  receiver_sim::SetValue(name, std::to_string(state.GetInt(name) + 1), nullptr);
}

// Waits while `setting` is 1 (for ten minutes at most); true when it did. A program that hung
// ends without a result once let go, so that one left running by a test cannot write into a
// later one.
bool Hung(const char* setting) {
  bool hung = false;
  for (int i = 0; i < 6000 && receiver_sim::SimState::Load().GetInt(setting) == 1; ++i) {
    hung = true;
    Sleep(100);
  }
  return hung;
}

int ProxyServerTest() {
  if (Hung("castview_hang")) return 1;
  const receiver_sim::SimState state = receiver_sim::SimState::Load();
  const std::string file = InstallDirectory() + "\\webpkg\\ProxyTest.ini";
  const struct {
    const char* key;
    const char* setting;
  } keys[] = {{"LoadOnStartUp", "proxy_load_on_startup"},
              {"ProxyServer", "proxy_running"},
              {"BrowsersInstalled", "browsers_installed"},
              {"BrowsersConfig", "browsers_config"},
              {"Profile", "proxy_profile"},
              {"Defbrowser", "default_browser"}};
  int rc = 0;
  for (const auto& k : keys) {
    const std::string value = state.Get(k.setting);
    // An empty setting leaves the key out of the file.
    if (!WritePrivateProfileStringA("ProxyTest", k.key, value.empty() ? nullptr : value.c_str(),
                                    file.c_str()))
      rc = 1;
  }
  Count("castview_test_count");
  std::printf("castview: proxy server test written to %s\n", file.c_str());
  return rc;
}

int ProxyTestCorrectiveAction() {
  if (Hung("castview_hang")) return 1;
  const receiver_sim::SimState state = receiver_sim::SimState::Load();
  const bool load = state.Get("proxy_load_on_startup") == "TRUE";
  receiver_sim::SetValue("browsers_config", "proxysettinigOK", nullptr);
  receiver_sim::SetValue("proxy_running", load ? "Running" : "Stopped", nullptr);
  Count("castview_repair_count");
  std::printf("castview: proxy and browser settings repaired\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcasecmp(argv[1], "/PROXYSERVERTEST") == 0) return ProxyServerTest();
  if (argc == 2 && strcasecmp(argv[1], "/PROXYTESTCORRECTIVEACTION") == 0)
    return ProxyTestCorrectiveAction();
  std::fprintf(stderr, "usage: castview.exe /PROXYSERVERTEST | /PROXYTESTCORRECTIVEACTION\n");
  return 2;
}
