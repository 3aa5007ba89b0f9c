// Windows only: the kernel32 calls the serial port backend makes, one table of
// exactly those calls.  The backend calls through the table in force, which is
// the system's own until a test installs a double (a driver that is stricter
// or sloppier than Wine).
#pragma once

#include "platform/windows/win32.h"

namespace vtrl {

struct CommApi {
    decltype(&::CreateFileA) create_file;
    decltype(&::BuildCommDCBA) build_comm_dcb;
    decltype(&::SetCommTimeouts) set_comm_timeouts;
    decltype(&::SetCommState) set_comm_state;
    decltype(&::GetCommProperties) get_comm_properties;
    decltype(&::SetupComm) setup_comm;
    decltype(&::SetCommMask) set_comm_mask;
    decltype(&::ReadFile) read_file;
    decltype(&::WriteFile) write_file;
    decltype(&::CloseHandle) close_handle;
};

// The system's calls.
const CommApi& SystemCommApi();
// Makes `api` the table the backend calls (not owned; it must outlive its
// use); nullptr puts the system's back.
void SetCommApi(const CommApi* api);

}  // namespace vtrl
