// Devices of the emulated machine: MS-DOS device names and I/O control requests.
//
// A device is described by a text file <prefix>/devices/<NAME> (NAME is its MS-DOS device name,
// such as VESNDIS0), written by whatever simulates the hardware behind it:
//   target=\Device\VESNDIS0                  what QueryDosDeviceA reports for the name
//   ioctl.<code>.<input>=<output>            the answer to one request: the control code as
//                                            8 hex digits, the input and output bytes in hex
//                                            (lower case; an empty input is written as "-")
// The file is read at every request, so a change takes effect at once.
#pragma once

#include "winport/types.h"

namespace winport {

// With a name: that device's target (a list of one text, ended by an extra NUL). Without: every
// MS-DOS device name (the drive letters of the prefix, "C:", and the devices), each ended by a
// NUL, the list by another. Returns the characters stored, NULs included; 0 on failure with
// ERROR_INSUFFICIENT_BUFFER (too small) or ERROR_FILE_NOT_FOUND (no such device).
DWORD QueryDosDeviceA(const char* deviceName, char* targetPath, DWORD max);

// Sends a control code to a device opened with CreateFileA("\\.\NAME"). FALSE with
// ERROR_INVALID_HANDLE for another handle, ERROR_NOT_SUPPORTED for a request the device does
// not answer, ERROR_INSUFFICIENT_BUFFER when its answer does not fit.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, const void* inBuffer, DWORD inBufferSize,
                     void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned, void* overlapped);

}  // namespace winport
