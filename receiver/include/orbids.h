// The receiver adapters' own device ids, as they appear in the system's device registry:
// PCI entries under "Enum\PCI" are named "VEN_<vendor>&DEV_<device>...", USB entries under
// "Enum\USB" "VID_<vendor>&PID_<product>...". The health module finds the adapter's entries by
// these patterns; the simulation creates its entries with them.
#pragma once

#define ORB_PCI_VENDOR_ID "5A7E"
#define ORB_USB_VENDOR_ID "5A7F"

// Substrings that identify the adapter's device entries (case-sensitive).
#define ORB_PCI_DEVICE_PATTERN "VEN_" ORB_PCI_VENDOR_ID "&DEV_"
#define ORB_USB_DEVICE_PATTERN "VID_" ORB_USB_VENDOR_ID "&PID_"

// The device description of the adapter's PCI entries.
#define ORB_PCI_DEVICE_DESC "Satellite Receiver PCI Adapter"
