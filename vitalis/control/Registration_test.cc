// Registration of the control server through vitalis-host, and a host's way to the control:
// ProgID -> CLSID -> library -> class factory -> control, all through the real registry and
// the built libvitalis.so.
#include <gtest/gtest.h>
#include <winport/handle.h>
#include <winport/library.h>
#include <winport/process.h>
#include <winport/registry.h>
#include <winport/sync.h>

#include <string>

#include "core/Win.h"
#include "testing.h"
#include "vitalis/VitalisCtrlApi.h"

namespace {

// Runs vitalis-host with one argument; its exit code.
unsigned long RunHost(const char* argument) {
  return winport::testing::RunAndWait((winport::testing::BinDir() / "vitalis-host").string() + " " +
                                      argument);
}

// A text value of HKEY_CLASSES_ROOT (null name: the default), or "<missing>".
std::string ClassText(const std::string& path, const char* name = nullptr) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return "<missing>";
  char data[4096] = {};
  DWORD type = 0, size = sizeof data - 1;
  LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(data) : "<missing>";
}

constexpr char kCtrlClsid[] = "{1AC65FCB-1533-11D3-9404-0000C04F0ADC}";

TEST(Registration, RoundTripFromProgIdToControlAndBack) {
  ASSERT_EQ(RunHost("--register"), 0u);

  // What a host reads to find the control.
  std::string clsid = ClassText(std::string(VITALIS_PROGID_CTRL) + "\\CLSID");
  ASSERT_EQ(clsid, kCtrlClsid);
  std::string server = ClassText("CLSID\\" + clsid + "\\InprocServer32");
  EXPECT_EQ(ClassText("CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(ClassText("CLSID\\" + clsid), "Vitalis Control");
  EXPECT_EQ(ClassText("CLSID\\" + clsid + "\\ProgID"), VITALIS_PROGID_CTRL);
  EXPECT_EQ(ClassText("CLSID\\" + clsid + "\\MiscStatus\\1"), "132241");  // 0x20491
  EXPECT_EQ(ClassText("TypeLib\\{1AC65FC8-1533-11D3-9404-0000C04F0ADC}\\1.0"),
            "vitalis OLE Control module");
  EXPECT_EQ(ClassText("TypeLib\\{1AC65FC8-1533-11D3-9404-0000C04F0ADC}\\1.0\\0\\win32"), server);
  EXPECT_EQ(ClassText(std::string(VITALIS_PROGID_PROPPAGE) + "\\CLSID"),
            "{1AC65FCC-1533-11D3-9404-0000C04F0ADC}");
  EXPECT_EQ(ClassText("CLSID\\{1AC65FCC-1533-11D3-9404-0000C04F0ADC}"), "Vitalis Property Page");

  // The library named there gives factories for the control and its page.
  HMODULE library = LoadLibraryA(server.c_str());
  ASSERT_NE(library, nullptr) << server;
  auto getClassObject =
      reinterpret_cast<VitalisDllGetClassObjectFn>(GetProcAddress(library, "DllGetClassObject"));
  auto canUnload =
      reinterpret_cast<VitalisDllCanUnloadNowFn>(GetProcAddress(library, "DllCanUnloadNow"));
  ASSERT_NE(getClassObject, nullptr);
  ASSERT_NE(canUnload, nullptr);
  const VitalisGuid ctrlId = VITALIS_CLSID_VitalisCtrl;
  const VitalisGuid pageId = VITALIS_CLSID_VitalisPropPage;
  const VitalisGuid factoryIid = VITALIS_IID_IClassFactory;
  void* made = nullptr;
  ASSERT_EQ(getClassObject(&ctrlId, &factoryIid, &made), VITALIS_S_OK);
  auto* factory = static_cast<VitalisClassFactory*>(made);
  void* object = nullptr;
  ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, &object), VITALIS_S_OK);
  auto* ctrl = static_cast<VitalisCtrl*>(object);
  ASSERT_NE(ctrl->lpVtbl->ShowIRQResult, nullptr);
  char* irq = ctrl->lpVtbl->ShowIRQResult(ctrl);
  ASSERT_NE(irq, nullptr);
  EXPECT_STREQ(irq, "1");  // no IRQ status stored
  ctrl->lpVtbl->FreeString(irq);
  factory->lpVtbl->Release(factory);
  EXPECT_EQ(canUnload(), VITALIS_S_FALSE);  // the control still lives
  ctrl->lpVtbl->Release(ctrl);
  EXPECT_EQ(canUnload(), VITALIS_S_OK);

  ASSERT_EQ(getClassObject(&pageId, nullptr, &made), VITALIS_S_OK);
  factory = static_cast<VitalisClassFactory*>(made);
  ASSERT_EQ(factory->lpVtbl->CreateInstance(factory, &object), VITALIS_S_OK);
  auto* page = static_cast<VitalisPropPage*>(object);
  EXPECT_STREQ(page->lpVtbl->GetCaption(page), "General");
  page->lpVtbl->Release(page);
  factory->lpVtbl->Release(factory);

  // Unknown classes and interfaces are refused.
  const VitalisGuid other = {0x1AC65FCD, 0x1533, 0x11D3, {0x94, 4, 0, 0, 0xC0, 0x4F, 0x0A, 0xDC}};
  EXPECT_EQ(getClassObject(&other, nullptr, &made), VITALIS_CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(getClassObject(&ctrlId, &ctrlId, &made), VITALIS_E_NOINTERFACE);
  EXPECT_EQ(getClassObject(&ctrlId, nullptr, nullptr), VITALIS_E_POINTER);
  EXPECT_EQ(canUnload(), VITALIS_S_OK);
  FreeLibrary(library);

  // Unregistered, nothing is left to find; a second unregistration finds nothing to remove.
  ASSERT_EQ(RunHost("--unregister"), 0u);
  EXPECT_EQ(ClassText(std::string(VITALIS_PROGID_CTRL) + "\\CLSID"), "<missing>");
  EXPECT_EQ(ClassText("CLSID\\" + clsid + "\\InprocServer32"), "<missing>");
  EXPECT_EQ(ClassText("TypeLib\\{1AC65FC8-1533-11D3-9404-0000C04F0ADC}\\1.0"), "<missing>");
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExA(HKEY_CLASSES_ROOT, "TypeLib\\{1AC65FC8-1533-11D3-9404-0000C04F0ADC}", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RunHost("--unregister"), 0u);
  EXPECT_EQ(RunHost("--bogus"), 2u);
}

}  // namespace
