// A program the import check must refuse, three ways at once: it imports
// hid.dll (not a KnownDLL), SetDefaultDllDirectories (listed, Windows 8) and
// Beep (not listed).  Built to be looked at, never run.
#include "platform/windows/win32.h"

extern "C" {
#include <hidsdi.h>
// Declared here: the Windows 7 headers the build uses do not offer it.
__declspec(dllimport) BOOL WINAPI SetDefaultDllDirectories(DWORD flags);
}

int main() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    SetDefaultDllDirectories(0x800);
    return Beep(440, 10) ? 0 : 1;
}
