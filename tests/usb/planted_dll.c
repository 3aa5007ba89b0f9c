/* A DLL with the name of one a program loads, put beside the program
 * ("binary planting"): it does nothing and offers none of the calls the
 * program looks up. */
#include "platform/windows/win32.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
