#include "driver/calibration.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "console/dconsole.h"
#include "driver/crc16.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "driver/internal.h"
#include "protocol/instrument_memory.h"
#include "protocol/operations.h"
#include "protocol/protocol.h"

namespace vtrl {
namespace {

// Record layout (little-endian): magic 0x5A5A at 0, CRC-16 of bytes 4..1023 at
// 2, opaque calibration data from 4.  caldata.bin is exactly those 1024 bytes.
constexpr size_t kCalibrationRecordSize = kInstrumentMemory.calibration_record_bytes;
constexpr uint32_t kCalibrationRecordAddress = kInstrumentMemory.calibration_record_address;
constexpr uint16_t kCalibrationMagic = 0x5A5A;
constexpr size_t kRebuildFillEnd = 1008;  // the rebuild leaves the last 16 bytes as read

using Record = std::array<uint8_t, kCalibrationRecordSize>;
Record g_record{};      // the calibration record buffer
Record g_instrument{};  // the instrument's record as last read

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

uint16_t GetLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t RecordBodyCrc(const uint8_t* record) {
    return Crc16().Update(record + 4, kCalibrationRecordSize - 4).Value();
}

uint16_t WholeRecordCrc(const uint8_t* record) {
    return Crc16().Update(record, kCalibrationRecordSize).Value();
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

// Magic 0x5A5A and a CRC field equal to the CRC-16 of bytes 4..1023.
bool CheckCalibrationRecord(const uint8_t* record) {
    return GetLe16(record) == kCalibrationMagic && RecordBodyCrc(record) == GetLe16(record + 2);
}

// Reads 1024 bytes from 0xCFC00 into `record` and checks the transfer against
// the instrument's own CRC over 0xCFC00..0xCFFFF, reading again while the two
// differ (at most kCrcAsks times).  False when a step gives up or the CRCs
// never agree.  Says nothing about whether the record itself is valid.
bool ReadInstrumentCalibration(uint8_t* record) {
    SetValueRetried(kSelectorFlashAddress, kInstrumentMemory.calibration_sector_first);
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

// Writes the 1024 bytes to caldata.bin durably (never half-written; on stable
// storage when true).
bool WriteCalibrationFile(const uint8_t* record) {
    return FilePathsUsable() &&
           WriteFileDurably(CalibrationFilePath(), record, kCalibrationRecordSize);
}

// Shown by the table and by SaveCalibration.
constexpr char kUnableToRetrieve[] = "Unable to retrieve calibration data!";
// A valid caldata.bin and a valid instrument record that differ, before
// anything is erased: the file may be the only copy of some record.
constexpr char kAnotherRecordRefused[] =
    " caldata.bin beside this program holds a\r\n"
    " calibration record other than this\r\n"
    " instrument's. Nothing has been changed.\r\n"
    " The file may be the only copy of a calibration\r\n"
    " record: keep it safe and never delete it.\r\n"
    " Move it to a safe place, then start again.\r\n"
    " If this instrument has lost its calibration,\r\n"
    " the file may hold it: tell Vantrel service.\r\n"
    " Please press a key...";

using M = CalibrationMoment;
using S = ImageSize;
using F = SavedFile;
using R = InstrumentRecord;
using A = CalibrationAction;

// The calibration table: what becomes of caldata.bin and of the record, and
// what the operator is told (the operator's guide lists every message).  The
// first row that fits decides.  Before erasing a full-size image the record
// must be in the buffer and in caldata.bin, and a caldata.bin that may be the
// only copy of a record is never written over or deleted; after the download
// caldata.bin goes only where it is known to be no longer needed.
// clang-format off
constexpr CalibrationRule kCalibrationRules[] = {
    // moment           size        caldata.bin     instrument      action             message
    // A normal-size image leaves sector 0 alone.
    {M::kBeforeErase,   S::kNormal, F::kAny,        R::kAny,        A::kKeep,          nullptr},
    // No usable path: the save reads the record, then cannot write it.  A
    // short file is written over by the save.
    {M::kBeforeErase,   S::kFull,   F::kNoPath,     R::kAny,        A::kSave,          nullptr},
    {M::kBeforeErase,   S::kFull,   F::kAbsent,     R::kAny,        A::kSave,          nullptr},
    {M::kBeforeErase,   S::kFull,   F::kShort,      R::kAny,        A::kSave,          nullptr},
    {M::kBeforeErase,   S::kFull,   F::kInvalid,    R::kAny,        A::kDeleteAndSave, nullptr},
    {M::kBeforeErase,   S::kFull,   F::kUnreadable, R::kAny,        A::kStop,
     "Unable to read saved calibration data!"},
    {M::kBeforeErase,   S::kFull,   F::kValid,      R::kUnreadable, A::kStop,
     kUnableToRetrieve},
    // A copy left by an interrupted upgrade: this instrument's own record, or
    // the only one left of it once its sector was erased.
    {M::kBeforeErase,   S::kFull,   F::kValid,      R::kSame,       A::kOfferReuse,
     " Retry failed download? \n\r Please press y or n: "},
    {M::kBeforeErase,   S::kFull,   F::kValid,      R::kInvalid,    A::kOfferReuse,
     " Retry failed download? \n\r Please press y or n: "},
    {M::kBeforeErase,   S::kFull,   F::kValid,      R::kOther,      A::kRefuse,
     kAnotherRecordRefused},
    // The instrument's record is read again; an invalid one never replaces
    // the valid saved copy, nor does another valid one: the first reading may
    // have found the sector erased and judged the file the only copy.
    {M::kReuseDeclined, S::kAny,    F::kAny,        R::kUnreadable, A::kStop,
     kUnableToRetrieve},
    {M::kReuseDeclined, S::kAny,    F::kAny,        R::kInvalid,    A::kKeep,
     " The instrument's calibration record is invalid.\r\n"
     " The saved copy in caldata.bin is kept and\r\n"
     " will be restored.\r\n Please press a key..."},
    {M::kReuseDeclined, S::kAny,    F::kAny,        R::kSame,       A::kSaveAsRead,    nullptr},
    {M::kReuseDeclined, S::kAny,    F::kAny,        R::kOther,      A::kRefuse,
     kAnotherRecordRefused},
    // After a full-size upgrade caldata.bin holds the record just restored
    // and verified.  After a normal-size one it may be the only copy of a
    // record an interrupted full-size upgrade erased, or another instrument's.
    {M::kAfterDownload, S::kAny,    F::kNoPath,     R::kAny,        A::kKeep,          nullptr},
    {M::kAfterDownload, S::kFull,   F::kAny,        R::kAny,        A::kRemove,        nullptr},
    {M::kAfterDownload, S::kNormal, F::kAbsent,     R::kAny,        A::kRemove,        nullptr},
    {M::kAfterDownload, S::kNormal, F::kShort,      R::kAny,        A::kRemove,        nullptr},
    {M::kAfterDownload, S::kNormal, F::kInvalid,    R::kAny,        A::kRemove,        nullptr},
    {M::kAfterDownload, S::kNormal, F::kUnreadable, R::kAny,        A::kKeep,
     " caldata.bin beside this program could not be\r\n"
     " read (another program holds it, or it is not\r\n"
     " readable), so it has been kept: it may be the\r\n"
     " only copy of a calibration record. Keep it\r\n"
     " safe and never delete it.\r\n"
     " Please press a key..."},
    {M::kAfterDownload, S::kNormal, F::kValid,      R::kSame,       A::kRemove,        nullptr},
    {M::kAfterDownload, S::kNormal, F::kValid,      R::kUnreadable, A::kKeep,
     " The instrument's calibration record could not\r\n"
     " be read to compare it with caldata.bin beside\r\n"
     " this program, which has been kept.\r\n"
     " Please press a key..."},
    {M::kAfterDownload, S::kNormal, F::kValid,      R::kInvalid,    A::kKeep,
     " The instrument has no valid calibration record.\r\n"
     " caldata.bin beside this program holds its\r\n"
     " calibration and has been kept: upgrade again\r\n"
     " with a full-size image to restore it.\r\n"
     " Please press a key..."},
    {M::kAfterDownload, S::kNormal, F::kValid,      R::kOther,      A::kKeep,
     " caldata.bin beside this program holds a\r\n"
     " calibration record other than this\r\n"
     " instrument's, and has been kept.\r\n"
     " The file may be the only copy of a calibration\r\n"
     " record: keep it safe and never delete it.\r\n"
     " Move it somewhere safe before the next upgrade.\r\n"
     " If this instrument has lost its calibration,\r\n"
     " the file may hold it: tell Vantrel service.\r\n"
     " Please press a key..."},
};
// clang-format on

// The first row for `moment` and `size` that fits.  `file(wanted)` and
// `record()` tell caldata.bin's state and the instrument's record; each is
// asked only for a row that does not leave its column open.
template <typename File, typename Instrument>
constexpr const CalibrationRule* FirstRule(M moment, S size, File file, Instrument record) {
    for (const CalibrationRule& rule : kCalibrationRules) {
        if (rule.moment == moment && (rule.size == S::kAny || rule.size == size) &&
            (rule.file == F::kAny || rule.file == file(rule.file)) &&
            (rule.instrument == R::kAny || rule.instrument == record())) {
            return &rule;
        }
    }
    return nullptr;
}

// Every moment, size, file and record has its row, and every row that shows
// its message has one.
constexpr bool TableIsComplete() {
    for (const CalibrationRule& rule : kCalibrationRules) {
        if (rule.message == nullptr && (rule.action == A::kOfferReuse || rule.action == A::kStop ||
                                        rule.action == A::kRefuse)) {
            return false;
        }
    }
    for (M m : {M::kBeforeErase, M::kReuseDeclined, M::kAfterDownload}) {
        for (S s : {S::kNormal, S::kFull}) {
            for (F f :
                 {F::kNoPath, F::kAbsent, F::kShort, F::kInvalid, F::kValid, F::kUnreadable}) {
                for (R r : {R::kUnreadable, R::kInvalid, R::kSame, R::kOther}) {
                    if (FirstRule(
                            m, s, [f](F) { return f; }, [r] { return r; }) == nullptr) {
                        return false;
                    }
                }
            }
        }
    }
    return true;
}
static_assert(TableIsComplete(), "a case without a row in the calibration table");

}  // namespace

namespace driver_internal {

SavedFile FindSavedCalibration() {
    if (!FilePathsUsable()) {
        return F::kNoPath;
    }
    Record found{};
    // A virus scanner looking at the file for a moment must not stop the upgrade.
    UniqueFile file = OpenFileWhenFree(CalibrationFilePath(), "rb");
    if (!file) {
        return errno == ENOENT ? F::kAbsent : F::kUnreadable;
    }
    if (ReadFile(file.Get(), found.data(), found.size()) < found.size()) {
        return CurrentFileSystem().Failed(file.Get()) ? F::kUnreadable : F::kShort;
    }
    if (!CheckCalibrationRecord(found.data())) {
        return F::kInvalid;
    }
    g_record = found;
    return F::kValid;
}

const CalibrationRule* FindCalibrationRule(CalibrationMoment moment, ImageSize size,
                                           const std::function<SavedFile(SavedFile)>& file,
                                           const std::function<InstrumentRecord()>& record) {
    return FirstRule(moment, size, file, record);
}

}  // namespace driver_internal

namespace {

// The instrument's record, read into g_instrument, against the buffer.
InstrumentRecord JudgeInstrumentRecord() {
    if (!ReadInstrumentCalibration(g_instrument.data())) {
        return R::kUnreadable;
    }
    if (!CheckCalibrationRecord(g_instrument.data())) {
        return R::kInvalid;
    }
    return g_instrument == g_record ? R::kSame : R::kOther;
}

}  // namespace

uint8_t* CalibrationRecordBuffer() {
    return g_record.data();
}

const CalibrationRule& DecideCalibration(CalibrationMoment moment, ImageSize size) {
    // Each found out when a row first asks, and then known.  That the paths
    // are unusable is known without opening anything.
    SavedFile file = FilePathsUsable() ? F::kAny : F::kNoPath;
    InstrumentRecord record = R::kAny;
    const CalibrationRule* rule = driver_internal::FindCalibrationRule(
        moment, size,
        [&](SavedFile wanted) {
            if (file == F::kAny && wanted != F::kNoPath) {
                file = driver_internal::FindSavedCalibration();
            }
            return file;
        },
        [&] {
            if (record == R::kAny) {
                record = JudgeInstrumentRecord();
            }
            return record;
        });
    return *rule;  // never null: TableIsComplete
}

bool SaveCalibration() {
    if (!ReadInstrumentCalibration(g_instrument.data())) {
        ShowAbortMessage(kUnableToRetrieve);
        return false;
    }
    return SaveCalibrationAsRead();
}

bool SaveCalibrationAsRead() {
    g_record = g_instrument;
    if (!CheckCalibrationRecord(g_record.data())) {
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
    g_instrument.fill(0);
}

}  // namespace vtrl
