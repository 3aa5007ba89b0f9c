// Console set-up: the console handles InitConsole takes and the error box.
// The public operations are declared in console/dconsole.h.
#pragma once

#include "console/console_port.h"

namespace vtrl {

// The console output handle InitConsole took (invalid before it ran).
ConsoleHandle ConsoleOutputHandle();
ConsoleHandle ConsoleInputHandle();

// No handles, as before InitConsole.
void ResetConsoleSetup();

}  // namespace vtrl
