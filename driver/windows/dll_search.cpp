// Windows only: limiting the DLL search (SetDllDirectoryW, SetDefaultDllDirectories); nothing else
// lives here.
#include "driver/dll_search.h"
#include "platform/windows/win32.h"

namespace vtrl {

DllSearchLimits LimitDllSearch() {
    DllSearchLimits limits;
    // "If this parameter is an empty string (""), the call removes the current
    // directory from the default DLL search order" (SetDllDirectoryW).
    limits.current_folder_removed = SetDllDirectoryW(L"") != FALSE;
    // Windows 7 has it only with KB2533623, so it is looked up, not imported.
    using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto set_default = reinterpret_cast<SetDefaultDirectories>(reinterpret_cast<void*>(
        kernel32 != nullptr ? GetProcAddress(kernel32, "SetDefaultDllDirectories") : nullptr));
    // LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800): not in the Windows 7 headers.
    constexpr DWORD kSearchSystem32 = 0x00000800;
    limits.system_folder_only = set_default != nullptr && set_default(kSearchSystem32) != FALSE;
    return limits;
}

}  // namespace vtrl
