#include "driver/calibration.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "console/dconsole.h"
#include "driver/crc16.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "protocol/operations.h"
#include "protocol/protocol.h"

namespace vtrl {
namespace {

constexpr uint32_t kCalibrationSectorBase = 0xC0000;
constexpr size_t kRebuildFillEnd = 1008;  // the rebuild leaves the last 16 bytes as read

// The record goes back through the transfer buffer in whole blocks and a tail.
struct RestorePiece {
    size_t offset;
    size_t length;
    uint32_t address;
};
constexpr size_t kRestorePieceCount =
    (kCalibrationRecordSize + kFlashBlockBytes - 1) / kFlashBlockBytes;
constexpr std::array<RestorePiece, kRestorePieceCount> MakeRestorePieces() {
    std::array<RestorePiece, kRestorePieceCount> pieces{};
    for (size_t i = 0; i < kRestorePieceCount; ++i) {
        const size_t offset = i * kFlashBlockBytes;
        const size_t left = kCalibrationRecordSize - offset;
        pieces[i] = {offset, left < kFlashBlockBytes ? left : kFlashBlockBytes,
                     kCalibrationRecordAddress + static_cast<uint32_t>(offset)};
    }
    return pieces;
}
constexpr std::array<RestorePiece, kRestorePieceCount> kRestorePieces = MakeRestorePieces();

std::array<uint8_t, kCalibrationRecordSize> g_record{};

uint16_t GetLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t RecordBodyCrc(const uint8_t* record) {
    CRC16Reset();
    CRC16Update(record + 4, static_cast<int32_t>(kCalibrationRecordSize - 4));
    return CRC16Value();
}

uint16_t WholeRecordCrc(const uint8_t* record) {
    CRC16Reset();
    CRC16Update(record, static_cast<int32_t>(kCalibrationRecordSize));
    return CRC16Value();
}

void RebuildRecord(uint8_t* record) {
    std::fill(record, record + kRebuildFillEnd, uint8_t{0xFF});
    PutLe16(record, kCalibrationMagic);
    std::memset(record + 4, 0, 4);
    PutLe16(record + 2, RecordBodyCrc(record));
}

// Everything between the grant and the withdrawal of the sector 0 permission.
bool ProgramRecord(const uint8_t* record) {
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteGrant);
    uint32_t buffer_address = 0;
    if (FailureFlag() || !QueryTransferBuffer(&buffer_address)) {
        return false;
    }
    for (const RestorePiece& piece : kRestorePieces) {
        if (!ProgramFlashBlock(record + piece.offset, static_cast<uint32_t>(piece.length),
                               buffer_address, piece.address)) {
            return false;
        }
    }
    return CheckInstrumentCrc(kCalibrationRecordAddress, kCalibrationRecordLast,
                              WholeRecordCrc(record), nullptr) == CrcCheck::kMatch;
}

}  // namespace

uint8_t* CalibrationRecordBuffer() {
    return g_record.data();
}

bool CheckCalibrationRecord(const uint8_t* record) {
    if (record == nullptr || GetLe16(record) != kCalibrationMagic) {
        return false;
    }
    return RecordBodyCrc(record) == GetLe16(record + 2);
}

SavedCalibration FindSavedCalibration() {
    if (!FilePathsUsable()) {
        return SavedCalibration::kNone;
    }
    {
        errno = 0;
        UniqueFile file = OpenFile(CalibrationFilePath(), "rb");
        if (!file) {
            return errno == ENOENT ? SavedCalibration::kNone : SavedCalibration::kUnreadable;
        }
        const size_t got = ReadFile(file.Get(), g_record.data(), g_record.size());
        if (got < g_record.size()) {
            return CurrentFileSystem().Failed(file.Get()) ? SavedCalibration::kUnreadable
                                                          : SavedCalibration::kNone;
        }
    }
    if (CheckCalibrationRecord(g_record.data())) {
        return SavedCalibration::kValid;
    }
    DeleteFileAt(CalibrationFilePath());
    return SavedCalibration::kNone;
}

bool LoadSavedCalibration() {
    return FindSavedCalibration() == SavedCalibration::kValid;
}

bool ReadInstrumentCalibration(uint8_t* record) {
    if (record == nullptr) {
        return false;
    }
    SetValueRetried(kSelectorFlashAddress, kCalibrationSectorBase);
    if (FailureFlag()) {
        return false;
    }
    // A transfer whose CRC disagrees is read again: one damaged reply on the
    // line must not stop an upgrade before it has started.
    for (int i = 0; i < kCrcAsks; ++i) {
        uint16_t instrument_crc = 0;
        if (!GetInstrumentCRC(kCalibrationRecordAddress, kCalibrationRecordLast, &instrument_crc) ||
            !ReadMemoryRetried(kCalibrationRecordAddress, record,
                               static_cast<uint16_t>(kCalibrationRecordSize))) {
            return false;
        }
        if (WholeRecordCrc(record) == instrument_crc) {
            return true;
        }
    }
    return false;
}

bool WriteCalibrationFile(const uint8_t* record) {
    if (record == nullptr || !FilePathsUsable()) {
        return false;
    }
    return WriteFileDurably(CalibrationFilePath(), record, kCalibrationRecordSize);
}

bool SaveCalibration(const uint8_t* saved_record) {
    if (!ReadInstrumentCalibration(g_record.data())) {
        ShowAbortMessage("Unable to retrieve calibration data!");
        return false;
    }
    if (!CheckCalibrationRecord(g_record.data())) {
        if (saved_record != nullptr && CheckCalibrationRecord(saved_record)) {
            std::memcpy(g_record.data(), saved_record, kCalibrationRecordSize);
            ShowMessageAndReadKey(
                " The instrument's calibration record is invalid.\r\n"
                " The saved copy in caldata.bin is kept and\r\n"
                " will be restored.\r\n Please press a key...");
            return true;
        }
        RebuildRecord(g_record.data());
    }
    if (!WriteCalibrationFile(g_record.data())) {
        ShowAbortMessage("Unable to save calibration data!");
        return false;
    }
    return true;
}

bool RestoreCalibration(const uint8_t* record) {
    bool result = false;
    if (record != nullptr && PingInstrument()) {
        result = ProgramRecord(record);
    }
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteWithdraw);
    return result;
}

void ResetCalibrationState() {
    g_record.fill(0);
}

}  // namespace vtrl
