// Linux keep-awake layer: nothing to do here (a service PC on Linux keeps its own power policy).
#include "driver/keep_awake.h"

namespace vtrl {

bool SetSystemKeepAwake(bool /*awake*/) {
    return true;
}

}  // namespace vtrl
