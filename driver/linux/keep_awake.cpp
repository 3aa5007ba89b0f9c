// Linux only: keeping the PC awake, which needs nothing here (a Linux service PC keeps its own
// power policy); nothing else lives here.
#include "driver/keep_awake.h"

namespace vtrl {

bool SetSystemKeepAwake(bool /*awake*/) {
    return true;
}

}  // namespace vtrl
