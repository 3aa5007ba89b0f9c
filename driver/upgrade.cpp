#include "driver/upgrade.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <optional>
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

constexpr uint32_t kSelectorTransferBuffer = 4;
constexpr uint32_t kSelectorRestart = 6;
constexpr uint32_t kSelectorCalibrationWrite = 42;
constexpr std::array<uint32_t, 4> kProgramSectors = {7, 8, 9, 10};
constexpr uint32_t kCalibrationSector = 0;
constexpr uint16_t kMessageWidth = 51;
constexpr uint16_t kMessageHeight = 11;
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
    ShowMessageWindow(text, kMessageWidth, kMessageHeight);
    const int key = ReadKey();
    CloseMessageWindow();
    return (key >= 0 && key <= 0xFF) ? std::toupper(key) : key;
}

// The progress window of one download; closed once on every way out.
class ProgressWindow {
  public:
    ProgressWindow() = default;
    ~ProgressWindow() { Close(); }
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;
    void Open() {
        open_ = OpenPopupWindow(kProgressWindowTemplate);
        MoveCursor(1, 1);
        ConsolePrint(" Downloading: ");
    }
    void Close() {
        if (open_) {
            ClosePopupWindow();
            open_ = false;
        }
    }

  private:
    bool open_ = false;
};

// Fails the download after `message`: the message window goes on top of the
// progress window, which the caller's owner then closes.
bool FailDownload(const std::string& message) {
    ShowAbortMessage(message.c_str());
    return false;
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
        ShowAbortMessage("Start address is not in Flash region.");
        return false;
    }
    if (end < start || end > kFlashRegionLast) {
        ShowAbortMessage("Out of range end address.");
        return false;
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
        return FailDownload(Format("Cannot open program file %s.", path ? path : ""));
    }
    const bool seek_ok = std::fseek(file.get(), 0, SEEK_END) == 0;
    const long size = seek_ok ? std::ftell(file.get()) : -1;
    if (size >= 0 && static_cast<unsigned long>(size) < remaining) {
        remaining = static_cast<uint32_t>(size);
    }
    if (!seek_ok || size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0 ||
        std::ferror(file.get())) {
        return FailDownload("File seek error.");
    }

    if (!PingInstrument()) {
        return FailDownload(kExcessiveRetries);
    }
    const uint32_t buffer_address = QueryValueRetried(kSelectorTransferBuffer, 0);
    if (FailureFlag()) {
        return FailDownload(kExcessiveRetries);
    }

    ProgressWindow progress;
    progress.Open();

    CRC16Reset();
    uint32_t address = start;
    uint16_t blocks_left = static_cast<uint16_t>(remaining / kDownloadBlockBytes);
    std::array<uint8_t, kDownloadBlockBytes> block{};
    while (remaining >= kDownloadBlockBytes) {
        if (std::fread(block.data(), 1, kDownloadBlockBytes, file.get()) != kDownloadBlockBytes) {
            return FailDownload(" File read error.");
        }
        CRC16Update(block.data(), static_cast<int32_t>(kDownloadBlockBytes));
        if (!ProgramFlashBlock(block.data(), kDownloadBlockBytes, buffer_address, address)) {
            return FailDownload(kExcessiveRetries);
        }
        address += kDownloadBlockBytes;
        remaining -= kDownloadBlockBytes;
        --blocks_left;
        MoveCursor(1, 2);
        ClearToEndOfLine();
        ConsolePrint(" Remaining blocks: %d  Retries: %d", static_cast<int>(blocks_left),
                     static_cast<int>(RetryCount()));
        MoveCursor(1, 1);
    }
    if (remaining > 0) {
        if (std::fread(block.data(), 1, remaining, file.get()) != remaining) {
            return FailDownload(" File read error.");
        }
        if (remaining % 2 != 0) {
            // The instrument programs whole words; the pad is what erased flash holds.
            block[remaining] = 0xFF;
            ++remaining;
        }
        CRC16Update(block.data(), static_cast<int32_t>(remaining));
        if (!ProgramFlashBlock(block.data(), remaining, buffer_address, address)) {
            return FailDownload(kExcessiveRetries);
        }
        address += remaining;
    }

    uint16_t instrument_crc = 0;
    if (!GetInstrumentCRC(start, address - 1, &instrument_crc)) {
        return FailDownload(kExcessiveRetries);
    }
    const uint16_t host_crc = CRC16Value();
    if (instrument_crc != host_crc) {
        return FailDownload(Format("CRC error.\r\n Instrument: %X  Host: %X",
                                   static_cast<unsigned>(instrument_crc),
                                   static_cast<unsigned>(host_crc)));
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
        ShowAbortMessage("Program file is too large.");
        return false;
    }
    const bool calibration_branch = size > kLargestNormalImage;

    if (calibration_branch) {
        bool keep_saved = false;
        std::array<uint8_t, kCalibrationRecordSize> saved{};
        if (LoadSavedCalibration()) {
            std::copy(CalibrationRecordBuffer(), CalibrationRecordBuffer() + kCalibrationRecordSize,
                      saved.begin());
            keep_saved = AskKey(" Retry failed download? \n\r Please press y or n: ") != 'N';
            if (!keep_saved && !SaveCalibration(saved.data())) {
                return false;
            }
        } else if (!SaveCalibration()) {
            return false;
        }
    }

    // From the first marker clear until the restart the PC must not sleep.
    std::optional<KeepAwake> awake;
    awake.emplace();

    if (!EraseProgramFlash()) {
        ShowAbortMessage("Cannot erase program memory.");
        return false;
    }
    bool downloaded = false;
    if (calibration_branch) {
        SetValueRetried(kSelectorCalibrationWrite, 1);
        EraseSectorRetried(kCalibrationSector);
        SetValueRetried(kSelectorCalibrationWrite, 0);
        if (FailureFlag()) {
            ShowAbortMessage("Cannot erase calibration sector.");
            return false;
        }
        SetValueRetried(kSelectorCalibrationWrite, 1);
        downloaded = DownloadProgramFile(image_path, kDownloadStart, kDownloadEndCalibration);
        SetValueRetried(kSelectorCalibrationWrite, 0);
    } else {
        downloaded = DownloadProgramFile(image_path, kDownloadStart, kDownloadEndNormal);
    }
    if (!downloaded) {
        return false;
    }
    if (calibration_branch && !RestoreCalibration(CalibrationRecordBuffer())) {
        ShowAbortMessage("Cannot restore calibration sector.");
        return false;
    }

    ProgramWordAtRetried(kMarkerWord1Address, kMarkerWord1Valid);
    ProgramWordAtRetried(kMarkerWord2Address, kMarkerWord2Valid);
    if (FailureFlag()) {
        return false;
    }

    if (!calibration_branch && SavedCopyStillNeeded()) {
        ShowMessageWindow(
            " The instrument has no valid calibration record.\r\n"
            " caldata.bin beside this program holds its\r\n"
            " calibration and has been kept: upgrade again\r\n"
            " with a full-size image to restore it.\r\n"
            " Please press a key...",
            kMessageWidth, kMessageHeight);
        ReadKey();
        CloseMessageWindow();
    } else if (FilePathsUsable()) {
        DeleteFileAt(CalibrationFilePath());
    }

    SetNoReplyFlag(true);
    SetValueRetried(kSelectorRestart, kRestartAddress);
    SetNoReplyFlag(false);
    awake.reset();

    ShowMessageWindow(" Upgrade complete -- Restarting instrument!", kMessageWidth, kMessageHeight);
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
        ShowAbortMessage(Format("Program file %s is corrupted.", ImagePath()).c_str());
        return false;
    }
    if (check != kProgramFileSound) {
        ShowAbortMessage(Format("Cannot open program file %s.", ImagePath()).c_str());
        return false;
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
