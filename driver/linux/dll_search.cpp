// Linux only: the DLL search, which the dynamic linker keeps out of the program's and the current
// folder already; nothing else lives here.
#include "driver/dll_search.h"

namespace vtrl {

DllSearchLimits LimitDllSearch() {
    return DllSearchLimits{true, true};
}

}  // namespace vtrl
