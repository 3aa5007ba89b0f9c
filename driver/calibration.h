// Keeps the instrument's 1024-byte calibration record (flash 0xCFC00..0xCFFFF,
// in sector 0) safe while an image that reaches into sector 0 is downloaded:
// saved to caldata.bin beside the program before anything is erased, put back
// and verified afterwards.  caldata.bin is removed only after a successful
// upgrade, so a copy left by an interrupted one is found again on the next run.
//
// Record layout (little-endian): magic 0x5A5A at 0, CRC-16 of bytes 4..1023 at
// 2, opaque calibration data from 4.  caldata.bin is exactly those 1024 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtrl {

constexpr size_t kCalibrationRecordSize = 1024;
constexpr uint32_t kCalibrationRecordAddress = 0xCFC00;
constexpr uint32_t kCalibrationRecordLast = 0xCFFFF;
constexpr uint16_t kCalibrationMagic = 0x5A5A;

// The one calibration record buffer: filled by LoadSavedCalibration or
// SaveCalibration, programmed back by RestoreCalibration.
uint8_t* CalibrationRecordBuffer();

// True when caldata.bin exists and its first 1024 bytes are a valid record,
// which is then in the buffer.  A file shorter than 1024 bytes is left alone;
// one holding an invalid record is deleted.  Never creates the file.
bool LoadSavedCalibration();

enum class SavedCalibration {
    kNone,        // no caldata.bin, or one too short to hold a record, or an invalid one (deleted)
    kValid,       // a valid record, now in the buffer
    kUnreadable,  // caldata.bin is there but cannot be opened or read: it may be the only copy
};
// LoadSavedCalibration, telling a file that cannot be read apart: such a file
// must be neither used nor deleted nor written over.
SavedCalibration FindSavedCalibration();

// Reads the instrument's record into the buffer, rebuilds it when invalid (magic,
// CRC, four zero bytes, 0xFF up to byte 1007, the last 16 bytes as read) and
// writes caldata.bin.  Reports its own failures ("Unable to retrieve
// calibration data!", "Unable to save calibration data!") and returns false.
//
// `saved_record`, when not null, is a valid record already in caldata.bin: an
// invalid record from the instrument (its sector erased by an interrupted
// upgrade) must not replace it, so the saved one goes back into the buffer,
// the file stays as it is and the operator is told.
bool SaveCalibration(const uint8_t* saved_record = nullptr);

// Reads 1024 bytes from 0xCFC00 into `record` and checks the transfer against
// the instrument's own CRC over 0xCFC00..0xCFFFF, reading again while the two
// differ (at most kCrcAsks times).  False when a step gives up or the CRCs
// never agree.  Says nothing about whether the record itself is valid.
bool ReadInstrumentCalibration(uint8_t* record);

// Magic 0x5A5A and a CRC field equal to the CRC-16 of bytes 4..1023.
bool CheckCalibrationRecord(const uint8_t* record);

// Writes the 1024 bytes to caldata.bin durably (never half-written; on stable
// storage when true).
bool WriteCalibrationFile(const uint8_t* record);

// Programs `record` into 0xCFC00..0xCFFFF (498 + 498 + 28 bytes) under the
// sector 0 write permission and verifies it by the instrument's CRC.  The
// permission is withdrawn on every way out.
bool RestoreCalibration(const uint8_t* record);

// Initial state: the buffer cleared.
void ResetCalibrationState();

}  // namespace vtrl
