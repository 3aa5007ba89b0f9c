// Where the program lets the system look for a DLL it loads at run time.  On
// Windows the standard search starts in the program's own folder and takes in
// the current folder: a DLL of the same name put there by anyone is loaded
// in place of the system's ("Dynamic-Link Library Security", Microsoft's
// page).  The program limits the search before it loads anything.
#pragma once

namespace vtrl {

// What took effect.
struct DllSearchLimits {
    bool current_folder_removed = false;  // SetDllDirectoryW(L"")
    // SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32): Windows 8 and
    // later, Windows 7 with KB2533623; false where the system lacks it.
    bool system_folder_only = false;
};

// Takes the current folder out of the DLL search and, where the system offers
// it, limits the search to the system folder.  Called first thing in main,
// before any DLL is loaded at run time.  Nothing to do on Linux (the dynamic
// linker looks in neither folder).
DllSearchLimits LimitDllSearch();

}  // namespace vtrl
