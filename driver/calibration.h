// Keeps the instrument's 1024-byte calibration record (flash 0xCFC00..0xCFFFF,
// in sector 0) safe while an image that reaches into sector 0 is downloaded:
// saved to caldata.bin beside the program before anything is erased, put back
// and verified afterwards.  caldata.bin is removed only after a successful
// upgrade, so a copy left by an interrupted one is found again on the next run.
//
// What becomes of caldata.bin and of the record at each moment of an upgrade
// is decided by one table, the calibration table in calibration.cpp: from
// what caldata.bin holds and what the instrument's record is, to what is done
// and what the operator is told.  The upgrade sequence acts on its answer.
#pragma once

#include <cstdint>

namespace vtrl {

// The one calibration record buffer: filled from a valid caldata.bin or by
// SaveCalibration, programmed back by RestoreCalibration.
uint8_t* CalibrationRecordBuffer();

// When the table is asked.
enum class CalibrationMoment {
    kBeforeErase,    // the operator has confirmed; nothing is erased yet
    kReuseDeclined,  // n at the retry prompt; the saved copy is still in the buffer
    kAfterDownload,  // the program (and the record) verified, the marker words written
};

// The image's size class; kFull reaches into sector 0 (above 262140 bytes).
// kAny in a row: either.
enum class ImageSize { kAny, kNormal, kFull };

// caldata.bin as found; finding it changes nothing.
enum class SavedFile {
    kAny,         // in a row: whatever it holds (that row does not look)
    kNoPath,      // a path had to be cut: nothing is opened, written or deleted through it
    kAbsent,      // no such file
    kShort,       // fewer than 1024 bytes: no record to judge
    kInvalid,     // its first 1024 bytes are no valid record
    kValid,       // its first 1024 bytes are a valid record, now in the buffer
    kUnreadable,  // there, but it cannot be opened or read: it may be the only copy
};

// The instrument's record (read again each time) against the buffer.
enum class InstrumentRecord {
    kAny,         // in a row: whatever it is (that row does not read it)
    kUnreadable,  // a step gave up, or the transfer's CRCs never agreed
    kInvalid,     // its sector was erased (an interrupted upgrade), or it is damaged
    kSame,        // valid, and byte for byte the record in the buffer
    kOther,       // valid, but another record than the one in the buffer
};

// What the upgrade does on the table's answer.
enum class CalibrationAction {
    kKeep,           // caldata.bin stays as it is; the message, if any, waits for a key
    kRemove,         // caldata.bin is deleted
    kSave,           // SaveCalibration
    kDeleteAndSave,  // caldata.bin is deleted, then SaveCalibration
    kOfferReuse,     // the message asks; n asks the table again (kReuseDeclined), any
                     // other key keeps the saved copy that is in the buffer
    kSaveAsRead,     // SaveCalibrationAsRead
    kStop,           // the message is the upgrade's failure; nothing has been erased
    kRefuse,         // the message waits for a key, then the upgrade ends; nothing erased
};

// One row of the calibration table.
struct CalibrationRule {
    CalibrationMoment moment;
    ImageSize size;
    SavedFile file;
    InstrumentRecord instrument;
    CalibrationAction action;
    const char* message;  // null: none
};

// The first row of the calibration table for `moment` and `size` that fits
// caldata.bin and the instrument's record.  A column a row leaves open (kAny)
// is not looked at: caldata.bin is found, and the instrument's record read,
// only when a row asks.  Nothing on disk changes here.
const CalibrationRule& DecideCalibration(CalibrationMoment moment, ImageSize size);

// Reads the instrument's record into the buffer, rebuilds it when invalid (magic,
// CRC, four zero bytes, 0xFF up to byte 1007, the last 16 bytes as read) and
// writes caldata.bin.  Reports its own failures ("Unable to retrieve
// calibration data!", "Unable to save calibration data!") and returns false.
bool SaveCalibration();

// As SaveCalibration, with the instrument's record as last read (by
// DecideCalibration), not read again.
bool SaveCalibrationAsRead();

// Programs `record` into 0xCFC00..0xCFFFF (498 + 498 + 28 bytes) under the
// sector 0 write permission and verifies it by the instrument's CRC.  The
// permission is withdrawn on every way out.
bool RestoreCalibration(const uint8_t* record);

// Initial state: the buffers cleared.
void ResetCalibrationState();

}  // namespace vtrl
