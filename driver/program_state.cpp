#include "driver/program_state.h"

#include "console/dconsole.h"
#include "driver/calibration.h"
#include "driver/crc16.h"
#include "driver/entry.h"
#include "driver/image_file.h"
#include "driver/upgrade.h"
#include "link/serial_link.h"
#include "link/usb_link.h"
#include "protocol/operations.h"
#include "protocol/protocol.h"

namespace vtrl {

void ResetProgramState() {
    ResetUsbLink();
    ResetSerialLink();
    ResetProtocolState();
    ResetOperationsState();
    ResetConsoleState();
    ResetEntryState();
    ResetImageFileState();
    ResetCalibrationState();
    ResetCrc16State();
    ResetUpgradeState();
}

}  // namespace vtrl
