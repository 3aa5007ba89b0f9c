#include "driver/upgrade.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "console/dconsole.h"
#include "driver/calibration.h"
#include "driver/crc16.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "driver/keep_awake.h"
#include "protocol/operations.h"
#include "protocol/protocol.h"

namespace vtrl {
namespace {

constexpr std::array<uint32_t, 4> kProgramSectors = {7, 8, 9, 10};
constexpr uint32_t kCalibrationSector = 0;
constexpr char kExcessiveRetries[] = "Excessive retries error.";

template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    if (length <= 0) {
        return std::string();
    }
    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::snprintf(text.data(), text.size(), format, args...);
    return std::string(text.data(), static_cast<size_t>(length));
}

// Shows a question and returns the key, folded to upper case.
int AskKey(const char* text) {
    const int key = ShowMessageAndReadKey(text);
    return (key >= 0 && key <= 0xFF) ? std::toupper(key) : key;
}

// Reports a failure of the upgrade to the operator; the upgrade then ends.
bool Fail(const std::string& message) {
    ShowAbortMessage(message.c_str());
    return false;
}

// The progress window of one download, open from construction and closed once
// on every way out (a failure's message is shown over it first).
class ProgressWindow {
  public:
    ProgressWindow() : open_(OpenPopupWindow(kProgressWindowTemplate)) {
        MoveCursor(1, 1);
        ConsolePrint(" Downloading: ");
    }
    ~ProgressWindow() { Close(); }
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    void ShowRemaining(uint16_t blocks_left) {
        MoveCursor(1, 2);
        ClearToEndOfLine();
        ConsolePrint(" Remaining blocks: %d  Retries: %d", static_cast<int>(blocks_left),
                     static_cast<int>(RetryCount()));
        MoveCursor(1, 1);
    }
    void Close() {
        if (open_) {
            ClosePopupWindow();
            open_ = false;
        }
    }

  private:
    bool open_;
};

// Cuts the byte count to the file's size and rewinds the file; false when the
// file cannot be measured or rewound.
bool FitToFile(std::FILE* file, uint32_t* count) {
    if (std::fseek(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long size = std::ftell(file);
    if (size < 0) {
        return false;
    }
    if (static_cast<unsigned long>(size) < *count) {
        *count = static_cast<uint32_t>(size);
    }
    return std::fseek(file, 0, SEEK_SET) == 0 && !std::ferror(file);
}

// Reads the next `count` bytes of the image (a whole block or the tail), folds
// them into the host CRC and programs them at *address, which moves on past
// them.  An odd tail is padded with 0xFF, which the CRC and the flash both get.
bool SendBlock(std::FILE* file, uint32_t count, uint32_t buffer_address, uint32_t* address) {
    std::array<uint8_t, kFlashBlockBytes> block{};
    if (ReadFile(file, block.data(), count) != count) {
        return Fail(" File read error.");
    }
    if (count % 2 != 0) {
        // The instrument programs whole words; the pad is what erased flash holds.
        block[count] = 0xFF;
        ++count;
    }
    CRC16Update(block.data(), static_cast<int32_t>(count));
    if (!ProgramFlashBlock(block.data(), count, buffer_address, *address)) {
        return Fail(kExcessiveRetries);
    }
    *address += count;
    return true;
}

// The instrument's CRC over exactly the bytes written against the host's.
bool VerifyDownload(uint32_t first, uint32_t last) {
    uint16_t instrument_crc = 0;
    if (!GetInstrumentCRC(first, last, &instrument_crc)) {
        return Fail(kExcessiveRetries);
    }
    const uint16_t host_crc = CRC16Value();
    if (instrument_crc != host_crc) {
        return Fail(Format("CRC error.\r\n Instrument: %X  Host: %X",
                           static_cast<unsigned>(instrument_crc), static_cast<unsigned>(host_crc)));
    }
    return true;
}

// Before anything is erased the calibration record is in the buffer and in
// caldata.bin: a copy left by an interrupted upgrade is offered for reuse,
// otherwise the instrument's own record is saved.
bool PreserveCalibration() {
    if (!LoadSavedCalibration()) {
        return SaveCalibration();
    }
    std::array<uint8_t, kCalibrationRecordSize> saved{};
    std::copy(CalibrationRecordBuffer(), CalibrationRecordBuffer() + kCalibrationRecordSize,
              saved.begin());
    if (AskKey(" Retry failed download? \n\r Please press y or n: ") != 'N') {
        return true;
    }
    return SaveCalibration(saved.data());
}

// Sector 0 is changed only under the write permission, withdrawn right after.
bool EraseCalibrationSector() {
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteGrant);
    EraseSectorRetried(kCalibrationSector);
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteWithdraw);
    if (FailureFlag()) {
        return Fail("Cannot erase calibration sector.");
    }
    return true;
}

bool DownloadIntoCalibrationSector(const char* image_path) {
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteGrant);
    const bool downloaded =
        DownloadProgramFile(image_path, kDownloadStart, kDownloadEndCalibration);
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteWithdraw);
    return downloaded;
}

bool ProgramMarkerWords() {
    ProgramWordAtRetried(kMarkerWord1Address, kMarkerWord1Valid);
    ProgramWordAtRetried(kMarkerWord2Address, kMarkerWord2Valid);
    return !FailureFlag();
}

// In the normal size class caldata.bin may be the only copy of a record that
// an interrupted full-size upgrade erased from the instrument.
bool SavedCopyStillNeeded() {
    if (!LoadSavedCalibration()) {
        return false;
    }
    std::array<uint8_t, kCalibrationRecordSize> instrument{};
    return !(ReadInstrumentCalibration(instrument.data()) &&
             CheckCalibrationRecord(instrument.data()));
}

void RemoveSavedCalibration(bool calibration_branch) {
    if (!calibration_branch && SavedCopyStillNeeded()) {
        ShowMessageAndReadKey(
            " The instrument has no valid calibration record.\r\n"
            " caldata.bin beside this program holds its\r\n"
            " calibration and has been kept: upgrade again\r\n"
            " with a full-size image to restore it.\r\n"
            " Please press a key...");
    } else if (FilePathsUsable()) {
        DeleteFileAt(CalibrationFilePath());
    }
}

// The instrument jumps to its new program before it could answer.
void RestartInstrument() {
    SetNoReplyFlag(true);
    SetValueRetried(kSelectorRestart, kRestartAddress);
    SetNoReplyFlag(false);
}

// Everything from the first marker clear to the restart, during which the PC
// must not sleep: erase, download, calibration restore, marker words,
// caldata.bin and the restart.
bool ReplaceProgram(const char* image_path, bool calibration_branch) {
    KeepAwake awake;
    if (!EraseProgramFlash()) {
        return Fail("Cannot erase program memory.");
    }
    if (calibration_branch) {
        if (!EraseCalibrationSector() || !DownloadIntoCalibrationSector(image_path)) {
            return false;
        }
    } else if (!DownloadProgramFile(image_path, kDownloadStart, kDownloadEndNormal)) {
        return false;
    }
    if (calibration_branch && !RestoreCalibration(CalibrationRecordBuffer())) {
        return Fail("Cannot restore calibration sector.");
    }
    if (!ProgramMarkerWords()) {
        return false;
    }
    RemoveSavedCalibration(calibration_branch);
    RestartInstrument();
    return true;
}

}  // namespace

bool ConfirmVersions(uint32_t current_version, uint32_t image_version) {
    const std::string text = Format(
        " Old program version:  %u.%03u\r\n\r\n New program version:  %u.%03u\r\n\r\n"
        " Proceed with download? y/n :",
        current_version / 1000, current_version % 1000, image_version / 1000, image_version % 1000);
    return AskKey(text.c_str()) == 'Y';
}

bool EraseProgramFlash() {
    if (!PingInstrument()) {
        return false;
    }
    ProgramWordAtRetried(kMarkerWord1Address, 0);
    if (FailureFlag()) {
        return false;
    }
    ProgramWordAtRetried(kMarkerWord2Address, 0);
    if (FailureFlag()) {
        return false;
    }
    for (uint32_t sector : kProgramSectors) {
        EraseSectorRetried(sector);
        if (FailureFlag()) {
            return false;
        }
    }
    return true;
}

bool CheckFlashAddresses(uint32_t start, uint32_t end) {
    if (start < kFlashRegionFirst || start > kFlashRegionLast) {
        return Fail("Start address is not in Flash region.");
    }
    if (end < start || end > kFlashRegionLast) {
        return Fail("Out of range end address.");
    }
    return true;
}

bool DownloadProgramFile(const char* path, uint32_t start, uint32_t end) {
    start &= ~uint32_t{1};
    end &= ~uint32_t{1};
    if (!CheckFlashAddresses(start, end)) {
        return false;
    }
    uint32_t remaining = end - start + 2;
    UniqueFile file = OpenFile(path, "rb");
    if (!file) {
        return Fail(Format("Cannot open program file %s.", path != nullptr ? path : ""));
    }
    if (!FitToFile(file.get(), &remaining)) {
        return Fail("File seek error.");
    }
    if (!PingInstrument()) {
        return Fail(kExcessiveRetries);
    }
    const uint32_t buffer_address = QueryValueRetried(kSelectorTransferBuffer, 0);
    if (FailureFlag()) {
        return Fail(kExcessiveRetries);
    }

    ProgressWindow progress;
    CRC16Reset();
    uint32_t address = start;
    uint16_t blocks_left = static_cast<uint16_t>(remaining / kFlashBlockBytes);
    for (; remaining >= kFlashBlockBytes; remaining -= kFlashBlockBytes) {
        if (!SendBlock(file.get(), kFlashBlockBytes, buffer_address, &address)) {
            return false;
        }
        progress.ShowRemaining(--blocks_left);
    }
    // The tail gets no progress line.
    if (remaining > 0 && !SendBlock(file.get(), remaining, buffer_address, &address)) {
        return false;
    }
    if (!VerifyDownload(start, address - 1)) {
        return false;
    }
    progress.Close();
    return true;
}

bool PerformUpgrade(const char* image_path, uint32_t current_version, uint32_t image_version) {
    if (!ConfirmVersions(current_version, image_version)) {
        return false;
    }
    const uint32_t size = GetProgramFileSize(image_path);
    if (size > kLargestImage) {
        return Fail("Program file is too large.");
    }
    const bool calibration_branch = size > kLargestNormalImage;
    if (calibration_branch && !PreserveCalibration()) {
        return false;
    }
    if (!ReplaceProgram(image_path, calibration_branch)) {
        return false;
    }
    ShowMessageWindow(" Upgrade complete -- Restarting instrument!", kMessageWindowWidth,
                      kMessageWindowHeight);
    Delay(kFinalMessagePauseMs);
    CloseMessageWindow();
    return true;
}

bool UpgradeProgram(const char* program_path, uint32_t current_version, uint32_t* image_version) {
    BuildFilePaths(program_path);
    uint32_t version = 0;
    // A path cut to fit may name some other file: such a path is never opened.
    const int check =
        FilePathsUsable() ? CheckProgramFile(ImagePath(), &version) : kProgramFileCannotOpen;
    if (check == kProgramFileCorrupted) {
        return Fail(Format("Program file %s is corrupted.", ImagePath()));
    }
    if (check != kProgramFileSound) {
        return Fail(Format("Cannot open program file %s.", ImagePath()));
    }
    if (!PerformUpgrade(ImagePath(), current_version, version)) {
        return false;
    }
    if (image_version != nullptr) {
        *image_version = version;
    }
    return true;
}

}  // namespace vtrl
