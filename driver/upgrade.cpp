#include "driver/upgrade.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "console/cp437.h"
#include "console/dconsole.h"
#include "driver/calibration.h"
#include "driver/crc16.h"
#include "driver/file_io.h"
#include "driver/image_file.h"
#include "driver/keep_awake.h"
#include "platform/clock.h"
#include "protocol/instrument_memory.h"
#include "protocol/operations.h"
#include "protocol/protocol.h"

namespace vtrl {

// Copies the checked image (at most end - start + 2 bytes, an odd tail padded
// with 0xFF) into flash from `start` in blocks, with a progress window, and
// compares the instrument's CRC over exactly the bytes written with the
// host's.  An image that is not sound: "Cannot open program file %s.".
// Reports its own failures.
bool DownloadProgramFile(const CheckedImage& checked, uint32_t start, uint32_t end);

namespace {

constexpr uint32_t kFinalMessagePauseMs = 5000;
constexpr char kExcessiveRetries[] = "Excessive retries error.";

// Set just before the first marker clear is sent: whether or not that request
// arrives, the instrument may have taken it.
bool g_program_flash_changed = false;

template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    if (length <= 0) {
        return std::string();
    }
    std::vector<char> text(static_cast<size_t>(length) + 1);
    (void)std::snprintf(text.data(), text.size(), format, args...);  // sized to fit
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

// A path as the screen shows it: the platform names it in UTF-8, the screen's
// cells are code page 437.
std::string ShownPath(const char* path) {
    return Utf8ToCp437(path != nullptr ? path : "");
}

std::string CannotOpen(const std::string& path) {
    return Format("Cannot open program file %s.", ShownPath(path.c_str()).c_str());
}

// Programs the next `count` bytes of the image (a whole block or the tail) at
// *address, which moves on past them, and folds them into the host CRC.  An
// odd tail is padded with 0xFF, which the CRC and the flash both get.
bool SendBlock(const uint8_t* bytes, uint32_t count, uint32_t buffer_address, uint32_t* address,
               Crc16* host_crc) {
    std::array<uint8_t, kFlashBlockBytes> block{};
    std::copy(bytes, bytes + count, block.begin());
    if (count % 2 != 0) {
        // The instrument programs whole words; the pad is what erased flash holds.
        block[count] = 0xFF;
        ++count;
    }
    host_crc->Update(block.data(), count);
    if (!ProgramFlashBlock(block.data(), count, buffer_address, *address)) {
        return Fail(kExcessiveRetries);
    }
    *address += count;
    return true;
}

// The instrument's CRC over exactly the bytes written against the host's.
bool VerifyDownload(uint32_t first, uint32_t last, uint16_t host_crc) {
    uint16_t instrument_crc = 0;
    switch (CheckInstrumentCrc(first, last, host_crc, &instrument_crc)) {
        case CrcCheck::kMatch:
            return true;
        case CrcCheck::kGaveUp:
            return Fail(kExcessiveRetries);
        case CrcCheck::kDiffers:
            break;
    }
    return Fail(Format("CRC error.\r\n Instrument: %X  Host: %X",
                       static_cast<unsigned>(instrument_crc), static_cast<unsigned>(host_crc)));
}

// Does what the calibration table says at `moment`; false when the upgrade
// ends here (after its message).
bool FollowCalibrationRule(CalibrationMoment moment, ImageSize size) {
    const CalibrationRule& rule = DecideCalibration(moment, size);
    switch (rule.action) {
        case CalibrationAction::kKeep:
            if (rule.message != nullptr) {
                ShowMessageAndReadKey(rule.message);
            }
            return true;
        case CalibrationAction::kRemove:
            DeleteFileAt(CalibrationFilePath());
            return true;
        case CalibrationAction::kDeleteAndSave:
            DeleteFileAt(CalibrationFilePath());
            return SaveCalibration();
        case CalibrationAction::kSave:
            return SaveCalibration();
        case CalibrationAction::kOfferReuse:
            return AskKey(rule.message) != 'N' ||
                   FollowCalibrationRule(CalibrationMoment::kReuseDeclined, size);
        case CalibrationAction::kSaveAsRead:
            return SaveCalibrationAsRead();
        case CalibrationAction::kStop:
            return Fail(rule.message);
        case CalibrationAction::kRefuse:
            ShowMessageAndReadKey(rule.message);
            return false;
    }
    return false;
}

// Sector 0 is changed only under the write permission, withdrawn right after.
bool EraseCalibrationSector() {
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteGrant);
    EraseSectorRetried(kInstrumentMemory.calibration_sector);
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteWithdraw);
    if (FailureFlag()) {
        return Fail("Cannot erase calibration sector.");
    }
    return true;
}

bool DownloadIntoCalibrationSector(const CheckedImage& image) {
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteGrant);
    const bool downloaded = DownloadProgramFile(image, kInstrumentMemory.program_start,
                                                kInstrumentMemory.program_end_calibration);
    SetValueRetried(kSelectorCalibrationWrite, kCalibrationWriteWithdraw);
    return downloaded;
}

// The CRC-16 of the two marker words as flash holds them, each word's bytes
// in the given order.
uint16_t MarkerWordsCrc(bool high_byte_first) {
    uint8_t markers[4] = {};
    const uint16_t words[2] = {kInstrumentMemory.marker1_valid, kInstrumentMemory.marker2_valid};
    for (size_t i = 0; i < 2; ++i) {
        const uint8_t low = static_cast<uint8_t>(words[i] & 0xFF);
        const uint8_t high = static_cast<uint8_t>(words[i] >> 8);
        markers[2 * i] = high_byte_first ? high : low;
        markers[2 * i + 1] = high_byte_first ? low : high;
    }
    return Crc16().Update(markers, sizeof markers).Value();
}

// The two marker words programmed, then confirmed by the instrument's CRC
// over them: an instrument that answered without programming them (a reset
// took it out of remote mode, and it refused) must not leave a program that
// is reported complete but never starts.  The instrument promises only that a
// word is programmed at its address, not which of its two bytes comes first
// there, so either order confirms them.
bool ProgramMarkerWords() {
    ProgramWordAtRetried(kInstrumentMemory.marker1_address, kInstrumentMemory.marker1_valid);
    ProgramWordAtRetried(kInstrumentMemory.marker2_address, kInstrumentMemory.marker2_valid);
    if (FailureFlag()) {
        return false;
    }
    const uint16_t low_first = MarkerWordsCrc(false);
    const uint16_t high_first = MarkerWordsCrc(true);
    for (int i = 0; i < kCrcAsks; ++i) {
        uint16_t answer = 0;
        if (!GetInstrumentCRC(kInstrumentMemory.marker1_address,
                              kInstrumentMemory.marker2_address + 1, &answer)) {
            return false;
        }
        if (answer == low_first || answer == high_first) {
            return true;
        }
    }
    return false;
}

// The program (and the record) are verified in flash, but a step after that
// did not go through: the withdrawal of the write permission, the marker
// words, or the instrument's confirmation of them.
std::string NotMarkedValid(bool calibration_branch) {
    if (calibration_branch) {
        return " The new program and the calibration record are\r\n"
               " verified in flash, but the instrument did not\r\n"
               " answer or did not confirm marking it valid.\r\n"
               " caldata.bin is kept: run the upgrade again.";
    }
    return " The new program is verified in flash, but the\r\n"
           " instrument did not answer or did not confirm\r\n"
           " marking it valid. Please run the upgrade again.";
}

// The instrument jumps to its new program before it could answer.
void RestartInstrument() {
    SetNoReplyFlag(true);
    SetValueRetried(kSelectorRestart, kInstrumentMemory.restart_address);
    SetNoReplyFlag(false);
}

// Shows both versions and asks; true for y or Y.
bool ConfirmVersions(uint32_t current_version, uint32_t image_version) {
    const std::string text = Format(
        " Old program version:  %u.%03u\r\n\r\n New program version:  %u.%03u\r\n\r\n"
        " Proceed with download? y/n :",
        current_version / 1000, current_version % 1000, image_version / 1000, image_version % 1000);
    return AskKey(text.c_str()) == 'Y';
}

// Invalidates the marker words and erases the program sectors (no message).
bool EraseProgramFlash() {
    if (!PingInstrument()) {
        return false;
    }
    g_program_flash_changed = true;
    ProgramWordAtRetried(kInstrumentMemory.marker1_address, 0);
    if (FailureFlag()) {
        return false;
    }
    ProgramWordAtRetried(kInstrumentMemory.marker2_address, 0);
    if (FailureFlag()) {
        return false;
    }
    for (uint32_t sector : kInstrumentMemory.program_sectors) {
        EraseSectorRetried(sector);
        if (FailureFlag()) {
            return false;
        }
    }
    return true;
}

// True when start and end lie in the flash region with end >= start; reports
// the failure itself otherwise.
bool CheckFlashAddresses(uint32_t start, uint32_t end) {
    if (start < kInstrumentMemory.flash_first || start > kInstrumentMemory.flash_last) {
        return Fail("Start address is not in Flash region.");
    }
    if (end < start || end > kInstrumentMemory.flash_last) {
        return Fail("Out of range end address.");
    }
    return true;
}

// Everything from the first marker clear to the restart, during which the PC
// must not sleep: erase, download, calibration restore, marker words,
// caldata.bin and the restart.
bool ReplaceProgram(const CheckedImage& image, ImageSize size) {
    const bool calibration_branch = size == ImageSize::kFull;
    KeepAwake awake;
    if (!EraseProgramFlash()) {
        return Fail("Cannot erase program memory.");
    }
    if (calibration_branch) {
        if (!EraseCalibrationSector() || !DownloadIntoCalibrationSector(image)) {
            return false;
        }
    } else if (!DownloadProgramFile(image, kInstrumentMemory.program_start,
                                    kInstrumentMemory.program_end_normal)) {
        return false;
    }
    if (calibration_branch && !RestoreCalibration(CalibrationRecordBuffer())) {
        return Fail("Cannot restore calibration sector.");
    }
    // A permission that could not be withdrawn means a link that has gone:
    // the marker words are not tried then, so the message says what is so.
    if (FailureFlag() || !ProgramMarkerWords()) {
        return Fail(NotMarkedValid(calibration_branch));
    }
    // What a save cut short left behind goes, whatever becomes of caldata.bin.
    if (FilePathsUsable()) {
        DeleteFileAt(TemporaryPathFor(CalibrationFilePath()).c_str());
    }
    FollowCalibrationRule(CalibrationMoment::kAfterDownload, size);
    RestartInstrument();
    return true;
}

}  // namespace

bool ProgramFlashChanged() {
    return g_program_flash_changed;
}

void ResetUpgradeState() {
    g_program_flash_changed = false;
}

bool DownloadProgramFile(const CheckedImage& checked, uint32_t start, uint32_t end) {
    start &= ~uint32_t{1};
    end &= ~uint32_t{1};
    if (!CheckFlashAddresses(start, end)) {
        return false;
    }
    // The image as it was checked, from memory: the file is not read again
    // while the instrument has no program.
    if (!checked.Sound()) {
        return Fail(CannotOpen(checked.Path()));
    }
    const uint8_t* image = checked.Bytes();
    const uint32_t held = std::min(checked.Size(), kLargestImage);
    const uint32_t total = std::min(end - start + 2, held);
    if (!PingInstrument()) {
        return Fail(kExcessiveRetries);
    }
    uint32_t buffer_address = 0;
    if (!QueryTransferBuffer(&buffer_address)) {
        return Fail(kExcessiveRetries);
    }

    ProgressWindow progress;
    Crc16 host_crc;
    uint32_t address = start;
    uint32_t sent = 0;
    uint16_t blocks_left = static_cast<uint16_t>(total / kFlashBlockBytes);
    for (; total - sent >= kFlashBlockBytes; sent += kFlashBlockBytes) {
        if (!SendBlock(image + sent, kFlashBlockBytes, buffer_address, &address, &host_crc)) {
            return false;
        }
        progress.ShowRemaining(--blocks_left);
    }
    // The tail gets no progress line.
    if (sent < total &&
        !SendBlock(image + sent, total - sent, buffer_address, &address, &host_crc)) {
        return false;
    }
    if (!VerifyDownload(start, address - 1, host_crc.Value())) {
        return false;
    }
    progress.Close();
    return true;
}

namespace {

// Everything after the image check: confirmation, size class, calibration
// preservation, erase, download, restore, marker words, caldata.bin removal,
// restart and the final message.  True when the instrument was restarted with
// the new program; false after its own message, or silently when the operator
// declined.
bool PerformUpgrade(const CheckedImage& image, uint32_t current_version) {
    if (!ConfirmVersions(current_version, image.Version())) {
        return false;
    }
    // The image checked a moment ago decides what is erased, and is what is
    // programmed.
    if (!image.Sound()) {
        return Fail(CannotOpen(image.Path()));
    }
    const uint32_t size = GetProgramFileSize(image);
    if (size > kLargestImage) {
        return Fail("Program file is too large.");
    }
    const ImageSize size_class = size > kLargestNormalImage ? ImageSize::kFull : ImageSize::kNormal;
    if (!FollowCalibrationRule(CalibrationMoment::kBeforeErase, size_class) ||
        !ReplaceProgram(image, size_class)) {
        return false;
    }
    ShowMessageWindow(" Upgrade complete -- Restarting instrument!", kMessageWindowWidth,
                      kMessageWindowHeight);
    Delay(kFinalMessagePauseMs);
    CloseMessageWindow();
    return true;
}

}  // namespace

bool UpgradeProgram(const char* program_path, uint32_t current_version, uint32_t* image_version) {
    BuildFilePaths(program_path);
    CheckedImage image;
    // A path cut to fit may name some other file: such a path is never opened.
    const int check =
        FilePathsUsable() ? CheckProgramFile(ImagePath(), &image) : kProgramFileCannotOpen;
    if (check == kProgramFileCorrupted) {
        return Fail(Format("Program file %s is corrupted.", ShownPath(ImagePath()).c_str()));
    }
    if (check != kProgramFileSound) {
        return Fail(CannotOpen(ImagePath()));
    }
    if (!PerformUpgrade(image, current_version)) {
        return false;
    }
    if (image_version != nullptr) {
        *image_version = image.Version();
    }
    return true;
}

}  // namespace vtrl
