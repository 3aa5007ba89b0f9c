// Linux only: the path separator.  Nothing else lives here.
#include "driver/image_file.h"

namespace vtrl {

char PathSeparator() {
    return '/';
}

}  // namespace vtrl
