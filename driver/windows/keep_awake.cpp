// Windows only: keeping the PC awake (SetThreadExecutionState); nothing else lives here.
#include "driver/keep_awake.h"
#include "platform/windows/win32.h"

namespace vtrl {

bool SetSystemKeepAwake(bool awake) {
    // ES_CONTINUOUS makes the request stick until the next call; without it the
    // request would only reset the idle timer once.
    const EXECUTION_STATE state =
        awake ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : EXECUTION_STATE{ES_CONTINUOUS};
    return SetThreadExecutionState(state) != 0;
}

}  // namespace vtrl
