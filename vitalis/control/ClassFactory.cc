// The control and its property page behind the plain C tables of the public header, and the
// class factories DllGetClassObject hands to hosts.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "control/VitalisCtrl.h"
#include "control/VitalisPropPage.h"
#include "core/Exports.h"
#include "core/TraceLog.h"
#include "vitalis/VitalisCtrlApi.h"

namespace {

// Objects and factories handed out and not yet released; the library may be unloaded only
// when none are left.
std::atomic<long> s_nLiveObjects{0};

struct CtrlObject {
  VitalisCtrl iface;  // first, so that the C pointer is the object's address
  CVitalisCtrl ctrl;
};

CtrlObject* AsCtrl(VitalisCtrl* self) {
  return reinterpret_cast<CtrlObject*>(self);
}

void CtrlRelease(VitalisCtrl* self) {
  if (self == nullptr) return;
  delete AsCtrl(self);
  --s_nLiveObjects;
}

void CtrlAdvise(VitalisCtrl* self, const VitalisCtrlSink* sink) {
  if (self == nullptr) return;
  CVitalisCtrl& ctrl = AsCtrl(self)->ctrl;
  if (sink == nullptr) {
    ctrl.SetEventSink(nullptr, nullptr);
    return;
  }
  VitalisCtrlSink copy = *sink;
  CVitalisCtrl::ShutdownHandler onShutdown;
  CVitalisCtrl::StatusHandler onStatus;
  if (copy.Shutdown != nullptr) onShutdown = [copy] { copy.Shutdown(copy.context); };
  if (copy.StatusAvailable != nullptr)
    onStatus = [copy](const char* text) { copy.StatusAvailable(copy.context, text); };
  ctrl.SetEventSink(std::move(onShutdown), std::move(onStatus));
}

int32_t CtrlInit(VitalisCtrl* self) {
  return self != nullptr && AsCtrl(self)->ctrl.Init() ? 1 : 0;
}

int32_t CtrlStop(VitalisCtrl* self) {
  return self != nullptr && AsCtrl(self)->ctrl.Stop() ? 1 : 0;
}

int16_t CtrlFixProblem(VitalisCtrl* self, const char* testIds) {
  return self != nullptr ? AsCtrl(self)->ctrl.FixProblem(testIds) : 0;
}

char* CtrlShowIRQResult(VitalisCtrl* self) {
  if (self == nullptr) return nullptr;
  std::string text = AsCtrl(self)->ctrl.ShowIRQResult();
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

void CtrlFreeString(char* text) {
  std::free(text);
}

const VitalisCtrlVtbl kCtrlVtbl = {CtrlRelease,    CtrlAdvise,        CtrlInit,      CtrlStop,
                                   CtrlFixProblem, CtrlShowIRQResult, CtrlFreeString};

struct PageObject {
  VitalisPropPage iface;
  CVitalisPropPage page;
};

void PageRelease(VitalisPropPage* self) {
  if (self == nullptr) return;
  delete reinterpret_cast<PageObject*>(self);
  --s_nLiveObjects;
}
const char* PageCaption(VitalisPropPage* self) {
  return self != nullptr ? reinterpret_cast<PageObject*>(self)->page.GetCaption() : "";
}
const char* PageText(VitalisPropPage* self) {
  return self != nullptr ? reinterpret_cast<PageObject*>(self)->page.GetText() : "";
}

const VitalisPropPageVtbl kPageVtbl = {PageRelease, PageCaption, PageText};

struct Factory {
  VitalisClassFactory iface;
  bool page;  // makes property pages, else controls
};

void FactoryRelease(VitalisClassFactory* self) {
  if (self == nullptr) return;
  delete reinterpret_cast<Factory*>(self);
  --s_nLiveObjects;
}

int32_t FactoryCreateInstance(VitalisClassFactory* self, void** object) {
  if (object == nullptr) return VITALIS_E_POINTER;
  *object = nullptr;
  if (self == nullptr) return VITALIS_E_POINTER;
  if (reinterpret_cast<Factory*>(self)->page) {
    auto* page = new (std::nothrow) PageObject{{&kPageVtbl}, {}};
    if (page == nullptr) return VITALIS_E_OUTOFMEMORY;
    ++s_nLiveObjects;
    *object = &page->iface;
  } else {
    auto* ctrl = new (std::nothrow) CtrlObject{{&kCtrlVtbl}, {}};
    if (ctrl == nullptr) return VITALIS_E_OUTOFMEMORY;
    ++s_nLiveObjects;
    *object = &ctrl->iface;
  }
  return VITALIS_S_OK;
}

const VitalisClassFactoryVtbl kFactoryVtbl = {FactoryRelease, FactoryCreateInstance};

bool SameGuid(const VitalisGuid& a, const VitalisGuid& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

}  // namespace

extern "C" {

VITALIS_EXPORT int32_t DllGetClassObject(const VitalisGuid* clsid, const VitalisGuid* iid,
                                         void** factory) {
  if (factory == nullptr) return VITALIS_E_POINTER;
  *factory = nullptr;
  if (clsid == nullptr) return VITALIS_E_POINTER;
  const VitalisGuid ctrlId = VITALIS_CLSID_VitalisCtrl;
  const VitalisGuid pageId = VITALIS_CLSID_VitalisPropPage;
  const VitalisGuid factoryId = VITALIS_IID_IClassFactory;
  bool page = SameGuid(*clsid, pageId);
  if (!page && !SameGuid(*clsid, ctrlId)) return VITALIS_CLASS_E_CLASSNOTAVAILABLE;
  if (iid != nullptr && !SameGuid(*iid, factoryId)) return VITALIS_E_NOINTERFACE;
  auto* made = new (std::nothrow) Factory{{&kFactoryVtbl}, page};
  if (made == nullptr) return VITALIS_E_OUTOFMEMORY;
  ++s_nLiveObjects;
  *factory = &made->iface;
  return VITALIS_S_OK;
}

VITALIS_EXPORT int32_t DllCanUnloadNow() {
  return s_nLiveObjects.load() == 0 ? VITALIS_S_OK : VITALIS_S_FALSE;
}

}  // extern "C"
