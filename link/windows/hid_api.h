// Windows only: the SetupAPI, hid.dll and kernel32 calls the HID port makes,
// one table of exactly those calls.  The port calls through the table in
// force, which is the system's own until a test installs a double (a device
// that can be pulled out, as Windows behaves then).
//
// hid.dll is not among the DLLs Windows always takes from its own folder
// (KnownDLLs), so an import of it would be looked for first beside the
// program, where anyone can put a hid.dll of their own ("Dynamic-Link
// Library Security", CVE-2022-32168).  The system table takes it by its full
// path in the system folder instead, the first time it is asked for.
#pragma once

#include "platform/windows/win32.h"

#include <setupapi.h>
// mingw's hidsdi.h declares hid.dll's functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

namespace vtrl {

struct HidApi {
    // setupapi.dll (a KnownDLL: imported as usual)
    decltype(&::SetupDiGetClassDevsA) get_class_devs;
    decltype(&::SetupDiEnumDeviceInterfaces) enum_device_interfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) get_device_interface_detail;
    decltype(&::SetupDiDestroyDeviceInfoList) destroy_device_info_list;
    // hid.dll; null in the system table when it could not be loaded from the
    // system folder (then no HID interface is ever found)
    decltype(&::HidD_GetHidGuid) get_hid_guid;
    decltype(&::HidD_GetAttributes) get_attributes;
    decltype(&::HidD_GetPreparsedData) get_preparsed_data;
    decltype(&::HidD_FreePreparsedData) free_preparsed_data;
    decltype(&::HidP_GetCaps) get_caps;
    decltype(&::HidD_GetNumInputBuffers) get_num_input_buffers;
    decltype(&::HidD_SetNumInputBuffers) set_num_input_buffers;
    decltype(&::HidD_GetIndexedString) get_indexed_string;
    decltype(&::HidD_FlushQueue) flush_queue;
    decltype(&::HidD_GetFeature) get_feature;
    // kernel32.dll
    decltype(&::CreateFileA) create_file;
    decltype(&::CloseHandle) close_handle;
    decltype(&::CreateEventA) create_event;
    decltype(&::ResetEvent) reset_event;
    decltype(&::WriteFile) write_file;
    decltype(&::ReadFile) read_file;
    decltype(&::WaitForSingleObject) wait_for_single_object;
    decltype(&::GetOverlappedResult) get_overlapped_result;
    decltype(&::CancelIo) cancel_io;
    decltype(&::GetLastError) get_last_error;
    decltype(&::SetLastError) set_last_error;
};

// The system's calls, hid.dll's loaded from the system folder on the first call.
const HidApi& SystemHidApi();
// Makes `api` the table the port calls (not owned; it must outlive its use);
// nullptr puts the system's back.
void SetHidApi(const HidApi* api);

}  // namespace vtrl
