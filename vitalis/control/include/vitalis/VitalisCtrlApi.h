/* The health module's control as seen from a host in any language: a plain C interface.
 *
 * A host finds the control's library through the registry (the ProgID "VITALIS.VitalisCtrl.1"
 * under HKEY_CLASSES_ROOT names the CLSID, whose "InprocServer32" names the library), loads it,
 * asks DllGetClassObject for the class factory of VITALIS_CLSID_VitalisCtrl and creates the
 * control. The control's methods are the function pointers of its table, in dispatch id order;
 * its two events reach the host through the sink the host registers with Advise. Events are
 * fired on the control's own thread, never on the host's. */
#ifndef VITALIS_VITALISCTRLAPI_H
#define VITALIS_VITALISCTRLAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Test ids. */
typedef enum DIAGTESTNAME {
  DIAGTEST_ADAPTER = 1,
  DIAGTEST_DNS = 2,
  DIAGTEST_DRVT = 3,
  DIAGTEST_IRQ = 4,
  DIAGTEST_REGISTRY = 5,
  DIAGTEST_PROXY = 6,
  DIAGTEST_SIGNAL = 7,
  DIAGTEST_TCPIP = 8,
  DIAGTEST_LAST_TEST = 9
} DIAGTESTNAME;

/* Test status codes, as the diagnostics store them. */
typedef enum DIAGTESTSTATUS {
  DTS_SUCCESS = 0,
  DTS_ADAPTER_NONE = 101,
  DTS_ADAPTER_PCI = 102,
  DTS_ADAPTER_USB = 103,
  DTS_ADAPTER_PARTIAL_PCI = 104,
  DTS_ADAPTER_PARTIAL_USB = 105,
  DTS_ADAPTER_MULTI_USB_PCI = 106,
  DTS_ADAPTER_MULTI_USB_ISA = 107,
  DTS_ADAPTER_MULTI_ISA_PCI = 108,
  DTS_ADAPTER_MULTI_ISA_PCI_USB = 109,
  DTS_ADAPTER_ERROR_USB = 110,
  DTS_ADAPTER_ERROR_USB_CARDOK = 111,
  DTS_ADAPTER_ERROR_NO_HEARTBEAT = 112,
  DTS_ADAPTER_ERROR_NOT_RESPONDING = 113,
  DTS_ADAPTER_ERROR_NOT_RESPONDING_CARDOK = 114,
  DTS_ADAPTER_ERROR_TRELLIS = 115,
  DTS_ADAPTER_ISA = 116,
  DTS_ADAPTER_PCIDVB = 117,
  DTS_ADAPTER_USBDVB = 118,
  DTS_ADAPTER_PCI_DISABLE = 119,
  DTS_ADAPTER_USB_DISABLE = 120,
  DTS_ADAPTER_ISA_DISABLE = 121,
  DTS_ADAPTER_MULTI_USB_ALL_ENABLE = 122,
  DTS_ADAPTER_MULTI_USB_ALL_DISABLE = 123,
  DTS_ADAPTER_MULTI_USB_ATLEAST_ONE_ENABLE = 124,
  DTS_ADAPTER_MULTI_PCI_ALL_ENABLE = 125,
  DTS_ADAPTER_MULTI_PCI_ALL_DISABLE = 126,
  DTS_ADAPTER_MULTI_PCI_ATLEAST_ONE_ENABLE = 127,
  DTS_ADAPTER_USB_USBNDIS_DISABLE = 128,
  DTS_ADAPTER_USBNDIS_DISABLE = 129,
  DTS_DNS_FAILED = 200,
  DTS_GETHOSTNAME_FAILED = 201,
  DTS_THRESHOLD_EXCEED_TIME = 202,
  DTS_DRIVER_FAILED = 300,
  DTS_LOWONBUFFERS = 301,
  DTS_RESET = 302,
  DTS_CRCERROR = 303,
  DTS_IRQ_FAILED = 400,
  DTS_COMPONENTNOTFOUND = 401,
  DTS_REGKEY_FAILED = 500,
  DTS_PROXY_FAILED = 600,
  DTS_LS_PXYRUNNING_BRNOTPXIED = 601,
  DTS_LS_PXYRUNNING_NOBROWSER = 602,
  DTS_LS_PXYNOTRUNNIG = 603,
  DTS_NLS_PXYRUNNING = 604,
  DTS_NLS_PXYNOTRUNNIG_BRCONFIG = 605,
  DTS_PROFILENOT_EXIST = 606,
  DTS_DEFBROWSER_NOTINSTALLED = 607,
  DTS_SIGNAL_FAILED = 700,
  DTS_TCPIP_FAILED = 800,
  DTS_UDP_FAILURE = 802,
  DTS_BINDTOPORT = 803,
  DTS_ICSPROTOCOLNOTBOUND = 804,
  DTS_ICSNOTPORTMAPPED = 805,
  DTS_BOUNDIP = 806,
  DTS_NEED_AUTOSETUP = 807,
  DTS_TCP_UNKNOWNERR = 808,
  DTS_UNEXPECTEDERR = 10000
} DIAGTESTSTATUS;

/* Results of the module's entry points. */
typedef enum HRRESULT {
  HRERR_SUCCESS = 0,
  HRERR_STARTFAILED = 1,
  HRERR_ADAPTERFAILED = 2,
  HRERR_LOWRESOURCES = 3,
  HRERR_NOVESDD = 4,
  HRERR_INITFAILED = 5,
  HRERR_TCPIPCONFIG = 6,
  HRERR_NOTFOUND = 7
} HRRESULT;

typedef struct VitalisGuid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} VitalisGuid;

/* {1AC65FCB-1533-11D3-9404-0000C04F0ADC} */
#define VITALIS_CLSID_VitalisCtrl                    \
  {                                                  \
    0x1AC65FCB, 0x1533, 0x11D3, {                    \
      0x94, 0x04, 0x00, 0x00, 0xC0, 0x4F, 0x0A, 0xDC \
    }                                                \
  }
/* {1AC65FCC-1533-11D3-9404-0000C04F0ADC} */
#define VITALIS_CLSID_VitalisPropPage                \
  {                                                  \
    0x1AC65FCC, 0x1533, 0x11D3, {                    \
      0x94, 0x04, 0x00, 0x00, 0xC0, 0x4F, 0x0A, 0xDC \
    }                                                \
  }
/* {00000001-0000-0000-C000-000000000046}: the class factory interface. */
#define VITALIS_IID_IClassFactory                    \
  {                                                  \
    0x00000001, 0x0000, 0x0000, {                    \
      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46 \
    }                                                \
  }

/* The type library that describes the control, version 1.0. */
#define VITALIS_LIBID "{1AC65FC8-1533-11D3-9404-0000C04F0ADC}"
#define VITALIS_TYPELIB_NAME "VITALISLib"
#define VITALIS_TYPELIB_HELP "vitalis OLE Control module"

#define VITALIS_PROGID_CTRL "VITALIS.VitalisCtrl.1"
#define VITALIS_PROGID_PROPPAGE "VITALIS.VitalisPropPage.1"

/* Result codes of the entry points. */
#define VITALIS_S_OK 0
#define VITALIS_S_FALSE 1
#define VITALIS_E_NOINTERFACE ((int32_t)0x80004002)
#define VITALIS_E_POINTER ((int32_t)0x80004003)
#define VITALIS_E_OUTOFMEMORY ((int32_t)0x8007000E)
#define VITALIS_CLASS_E_CLASSNOTAVAILABLE ((int32_t)0x80040111)
#define VITALIS_SELFREG_E_TYPELIB ((int32_t)0x80040200)
#define VITALIS_SELFREG_E_CLASS ((int32_t)0x80040201)

/* Dispatch ids of the control's methods and events. */
enum {
  VITALIS_DISPID_Init = 1,
  VITALIS_DISPID_Stop = 2,
  VITALIS_DISPID_FixProblem = 3,
  VITALIS_DISPID_ShowIRQResult = 4,
  VITALIS_EVENTID_Shutdown = 1,
  VITALIS_EVENTID_StatusAvailable = 2
};

/* The host's event sink. Both calls come from the control's thread; `text` is valid for the
 * call only. Either function may be null. */
typedef struct VitalisCtrlSink {
  void* context;
  void (*Shutdown)(void* context);
  void (*StatusAvailable)(void* context, const char* text);
} VitalisCtrlSink;

typedef struct VitalisCtrl VitalisCtrl;

/* The control's table. The four methods sit in dispatch id order. */
typedef struct VitalisCtrlVtbl {
  /* Destroys the control (closes its named objects, unloads the driver library). */
  void (*Release)(VitalisCtrl* self);
  /* Registers (or, with null, removes) the event sink; it is copied. */
  void (*Advise)(VitalisCtrl* self, const VitalisCtrlSink* sink);
  /* 1: non-zero when the control is running. */
  int32_t (*Init)(VitalisCtrl* self);
  /* 2: zero only when the event thread had to be terminated and could not be. */
  int32_t (*Stop)(VitalisCtrl* self);
  /* 3: 1 when the repairs reported success, else 0. `testIds` as StatusAvailable gave it. */
  int16_t (*FixProblem)(VitalisCtrl* self, const char* testIds);
  /* 4: a new string the caller frees with FreeString. */
  char* (*ShowIRQResult)(VitalisCtrl* self);
  void (*FreeString)(char* text);
} VitalisCtrlVtbl;

struct VitalisCtrl {
  const VitalisCtrlVtbl* lpVtbl;
};

typedef struct VitalisPropPage VitalisPropPage;
typedef struct VitalisPropPageVtbl {
  void (*Release)(VitalisPropPage* self);
  /* "General". */
  const char* (*GetCaption)(VitalisPropPage* self);
  /* The page's only content, a text. */
  const char* (*GetText)(VitalisPropPage* self);
} VitalisPropPageVtbl;

struct VitalisPropPage {
  const VitalisPropPageVtbl* lpVtbl;
};

/* The class factory DllGetClassObject hands out. CreateInstance makes a VitalisCtrl* or a
 * VitalisPropPage*, by the CLSID the factory was asked for. */
typedef struct VitalisClassFactory VitalisClassFactory;
typedef struct VitalisClassFactoryVtbl {
  void (*Release)(VitalisClassFactory* self);
  int32_t (*CreateInstance)(VitalisClassFactory* self, void** object);
} VitalisClassFactoryVtbl;

struct VitalisClassFactory {
  const VitalisClassFactoryVtbl* lpVtbl;
};

/* Entry points of the library, bound by name. */
typedef int32_t (*VitalisDllGetClassObjectFn)(const VitalisGuid* clsid, const VitalisGuid* iid,
                                              void** factory);
typedef int32_t (*VitalisDllCanUnloadNowFn)(void);
typedef int32_t (*VitalisDllRegisterServerFn)(void);
typedef int32_t (*VitalisDllUnregisterServerFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* VITALIS_VITALISCTRLAPI_H */
