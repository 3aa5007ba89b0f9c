// The program's entry in-process: options, finding the instrument on USB and
// on the serial ports, the status check and remote mode, against the stand-in
// behind simulated HID and serial ports, with the test console and one
// virtual clock for everything.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "console/dconsole.h"
#include "driver/entry.h"
#include "driver/program_state.h"
#include "link/hid_port.h"
#include "link/serial_link.h"
#include "link/serial_port.h"
#include "link/usb_link.h"
#include "protocol/protocol.h"
#include "sim/clock.h"
#include "sim/image.h"
#include "sim/instrument.h"
#include "sim/sim_hid_port.h"
#include "sim/sim_serial_port.h"
#include "tests/common/test_hooks.h"
#include "tests/console/fake_console.h"
#include "tests/upgrade/screen_recorder.h"

namespace vtrl {
namespace {

using Messages = std::vector<std::string>;

const char kNoUsb[] = " No Vantrel detected on USB.\r\n\r\n Press a key";
const char kNoSerial[] = " No Vantrel detected on COM 1 through 3\r\n\r\n Press a key";
const char kNoInstrument[] = " No instrument connected!\r\n Aborting -- ";
const char kSearching[] = " Searching for Vantrel on serial port";
const char kUsbFound[] =
    "Found Vantrel on USB \r\nFirmware Version 1.006\r\nLanguage = <English>\r\n"
    "Maufacturer = Vantrel\r\nProduct = Vantrel Thermal Cycler\r\n"
    "Serial Number = VT-000001\r\n";
const char kUsbFoundFailed[] =
    "Found Vantrel on USB \r\nFailed to get old version, retries left: 1\r\n";
const char kUsbFoundFailedLast[] =
    "Found Vantrel on USB \r\nFailed to get old version, retries left: 0\r\n";
const char kProtocolRunning[] =
    " Update not allowed while protocol is running\r\n Aborting -- Please press a key ...";

class EntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        console_.Install();
        console_.ClearMessageTexts();
        SetHidPort(&hid_);
        SetSerialPort(&serial_);
        ResetProgramState();
    }
    void TearDown() override {
        ResetProgramState();
        SetHidPort(nullptr);
        SetSerialPort(nullptr);
    }

    // For the steps called on their own: the console RunUpgradeProgram would set up.
    void StartConsole() { ASSERT_TRUE(InitConsole("vtrlupg test")); }

    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), "vtrlupg");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        // The system names no program file: the image is looked for beside
        // argv[0], in the current folder.
        return RunUpgradeProgram(static_cast<int>(args.size()), argv.data(), std::string());
    }

    // Requests of one command the instrument received.
    static std::vector<std::vector<uint8_t>> Requests(const sim::Instrument& instrument,
                                                      uint8_t command) {
        std::vector<std::vector<uint8_t>> found;
        for (const sim::LoggedRequest& r : instrument.Log()) {
            if (!r.bytes.empty() && r.bytes[0] == command) {
                found.push_back(r.bytes);
            }
        }
        return found;
    }

    bool NothingTouched() const {
        return hid_.Counts().enumerations == 0 && serial_.Counts().open_attempts == 0;
    }

    sim::VirtualClock clock_;
    test::ScreenRecorder console_{clock_};
    sim::SimHidPort hid_{clock_};
    sim::SimSerialPort serial_{clock_};
    sim::Instrument usb_instrument_;
    sim::Instrument serial_instrument_;
};

// Only "-" or "/" options count, and only by their second character.
TEST_F(EntryTest, OptionsTable) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* refusal;  // null: not refused
        bool serial_search;
    };
    const Case cases[] = {
        {{"-C"}, kExitNoInstrument, nullptr, true},
        {{"/c"}, kExitNoInstrument, nullptr, true},
        {{"-cfoo"}, kExitNoInstrument, nullptr, true},
        {{"C", "c"}, kExitNoInstrument, nullptr, false},
        {{}, kExitNoInstrument, nullptr, false},
        {{"-x"}, kExitUnknownArgument, "Unknown argument -x.\r\n Please press a key...", false},
        {{"/xyz"}, kExitUnknownArgument, "Unknown argument -xyz.\r\n Please press a key...", false},
        {{"-"}, kExitUnknownArgument, "Unknown argument -.\r\n Please press a key...", false},
        {{"-%s%n%x"},
         kExitUnknownArgument,
         "Unknown argument -%s%n%x.\r\n Please press a key...",
         false},
        {{"-C", "-q", "-z"},
         kExitUnknownArgument,
         "Unknown argument -q.\r\n Please press a key...",
         true},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const std::string& a : c.args) {
            name += a + " ";
        }
        SCOPED_TRACE(name);
        TearDown();
        SetUp();
        const uint32_t opens_before = serial_.Counts().open_attempts;
        const uint32_t enumerations_before = hid_.Counts().enumerations;
        console_.PushKeys("k");

        EXPECT_EQ(Run(c.args), c.status);
        EXPECT_EQ(console_.Title(), "WIN32 Vantrel Program Upgrade Version 1.006");
        EXPECT_EQ(console_.PendingKeys(), 0u);
        // The instrument was never put into remote mode: Ctrl+C ends the program as ever.
        EXPECT_FALSE(console_.InterruptionsIgnored());
        if (c.refusal != nullptr) {
            EXPECT_EQ(console_.MessageTexts(), Messages{c.refusal});
            EXPECT_EQ(serial_.Counts().open_attempts, opens_before) << "a link was touched";
            EXPECT_EQ(hid_.Counts().enumerations, enumerations_before) << "a link was touched";
        } else {
            EXPECT_EQ(serial_.Counts().open_attempts - opens_before, c.serial_search ? 3u : 0u);
            EXPECT_GT(hid_.Counts().enumerations, enumerations_before);
        }
        EXPECT_EQ(OpenWindowCount(), 0);
    }
}

TEST_F(EntryTest, LongRefusedArgumentKeepsItsPrompt) {
    console_.PushKeys("k");
    EXPECT_EQ(Run({"-" + std::string(5000, 'w')}), kExitUnknownArgument);
    ASSERT_EQ(console_.MessageTexts().size(), 1u);
    const std::string& text = console_.MessageTexts()[0];
    EXPECT_EQ(text.rfind("Unknown argument -www", 0), 0u);
    EXPECT_NE(text.find(".\r\n Please press a key..."), std::string::npos);
}

TEST_F(EntryTest, NoUsbAndNoSerialSearchEndsAfterTwoMessages) {
    console_.PushKeys("k");
    EXPECT_EQ(Run({}), kExitNoInstrument);
    EXPECT_EQ(console_.MessageTexts(), (Messages{kNoUsb, kNoInstrument}));
    EXPECT_EQ(serial_.Counts().open_attempts, 0u);
    ASSERT_FALSE(console_.Pauses().empty());
    EXPECT_EQ(console_.Pauses().back().milliseconds, 1000u);
    EXPECT_TRUE(console_.Pauses().back().Shows("No instrument connected!"));
}

TEST_F(EntryTest, UsbInstrumentFoundOnTheFirstAttempt) {
    hid_.AddInstrument(usb_instrument_);
    StartConsole();
    uint32_t version = 0;
    ASSERT_TRUE(FindInstrument(kSerialPortCount, &version));
    EXPECT_EQ(version, 1006u);
    EXPECT_TRUE(USBLinkSelected());
    EXPECT_EQ(console_.MessageTexts(), Messages{kUsbFound});
    EXPECT_EQ(OpenWindowCount(), 0);

    ASSERT_EQ(console_.Pauses().size(), 1u);
    const auto& pause = console_.Pauses()[0];
    EXPECT_EQ(pause.milliseconds, 1500u);
    EXPECT_TRUE(pause.Shows("Found Vantrel on USB"));
    EXPECT_TRUE(pause.Shows("Firmware Version 1.006"));
    EXPECT_TRUE(pause.Shows("Language = "));
    EXPECT_TRUE(pause.Shows("Vantrel Thermal Cycler"));
    EXPECT_TRUE(pause.Shows("VT-000001"));
    EXPECT_FALSE(pause.Shows("Configuration = ")) << "only four strings are shown";
    EXPECT_EQ(serial_.Counts().open_attempts, 0u);
}

TEST_F(EntryTest, UsbVersionQueryFailsOnceThenAnswers) {
    hid_.AddInstrument(usb_instrument_);
    usb_instrument_.AddFault(sim::FaultAt(1, sim::FaultKind::kNoReply, 1, kCmdQueryValue));

    StartConsole();
    uint32_t version = 0;
    ASSERT_TRUE(FindInstrument(kSerialPortCount, &version));
    EXPECT_EQ(version, 1006u);
    EXPECT_EQ(console_.MessageTexts(), (Messages{kUsbFoundFailed, kUsbFound}));

    // The second found window, of the same size and place, covers the first.
    ASSERT_EQ(console_.Pauses().size(), 1u);
    const auto& pause = console_.Pauses()[0];
    EXPECT_FALSE(pause.Shows("Failed to get old version"));
    EXPECT_TRUE(pause.Shows("Firmware Version 1.006"));
    EXPECT_TRUE(pause.Shows("VT-000001"));
    // The first window is left open with its failure line; the second is gone.
    EXPECT_EQ(OpenWindowCount(), 1);
    EXPECT_TRUE(console_.Contains("Failed to get old version, retries left: 1"));
    EXPECT_FALSE(console_.Contains("Firmware Version"));
}

TEST_F(EntryTest, SerialSearchTriesComOneToThreeAndClosesEach) {
    serial_.AddPort(1);  // a port with nothing on the line
    serial_.AddPort(3);  // COM2 absent altogether
    SetSerialSearch(true);
    console_.PushKeys("k");
    StartConsole();
    uint32_t version = 0;
    EXPECT_FALSE(FindInstrument(kSerialPortCount, &version));

    EXPECT_EQ(serial_.OpenedPortNumbers(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(serial_.DeviceNames(),
              (std::vector<std::string>{"\\\\.\\COM1", "\\\\.\\COM2", "\\\\.\\COM3"}));
    EXPECT_EQ(serial_.Counts().closes, 2u);
    EXPECT_EQ(serial_.OpenHandleCount(), 0u);
    EXPECT_FALSE(CommPortHeld());
    EXPECT_EQ(console_.MessageTexts(), (Messages{kSearching, kNoSerial}));
    EXPECT_EQ(console_.PendingKeys(), 0u);
    EXPECT_EQ(OpenWindowCount(), 0);
    // Each silent port costs one reply budget: about ten seconds.
    EXPECT_GE(clock_.NowMs(), 20000u);
    EXPECT_LT(clock_.NowMs(), 21000u);
}

TEST_F(EntryTest, InstrumentOnComTwoStaysOpenForTheRun) {
    serial_.AddPort(1);
    serial_.ConnectInstrument(2, serial_instrument_);
    serial_.AddPort(3);
    SetSerialSearch(true);
    StartConsole();
    uint32_t version = 0;
    ASSERT_TRUE(FindInstrument(kSerialPortCount, &version));
    EXPECT_EQ(version, 1006u);
    EXPECT_EQ(console_.MessageTexts(),
              (Messages{kSearching, " Found Vantrel Version 1.006 on COM2"}));
    ASSERT_EQ(console_.Pauses().size(), 1u);
    EXPECT_EQ(console_.Pauses()[0].milliseconds, 1500u);
    EXPECT_TRUE(console_.Pauses()[0].Shows("Found Vantrel Version 1.006 on COM2"));

    EXPECT_EQ(serial_.OpenedPortNumbers(), (std::vector<uint32_t>{1, 2}));
    EXPECT_FALSE(serial_.IsOpen(1));
    EXPECT_TRUE(serial_.IsOpen(2));
    EXPECT_EQ(CommPortIndex(), 1);
    // The version query went out on COM2 as the protocol frames it.
    EXPECT_EQ(Requests(serial_instrument_, kCmdQueryValue).size(), 1u);
    // Later exchanges use the same port.
    ClearLinkError();
    GetStatus();
    EXPECT_EQ(GetLinkError(), 0u);
    EXPECT_EQ(Requests(serial_instrument_, kCmdGetStatus).size(), 1u);
}

// A USB instrument that never answers is let go, so that the serial search
// really asks the serial ports.
TEST_F(EntryTest, SilentUsbDeviceIsReleasedBeforeTheSerialSearch) {
    hid_.AddInstrument(usb_instrument_);
    usb_instrument_.AddFault(sim::FaultAt(1, sim::FaultKind::kNoReply, 100));
    serial_.ConnectInstrument(1, serial_instrument_);
    SetSerialSearch(true);

    StartConsole();
    uint32_t version = 0;
    ASSERT_TRUE(FindInstrument(kSerialPortCount, &version));
    EXPECT_EQ(console_.MessageTexts(), (Messages{kUsbFoundFailed, kUsbFoundFailedLast, kSearching,
                                                 " Found Vantrel Version 1.006 on COM1"}));
    EXPECT_FALSE(USBLinkSelected());
    EXPECT_EQ(hid_.OpenHandleCount(), 0u);
    EXPECT_EQ(Requests(serial_instrument_, kCmdQueryValue).size(), 1u);
    EXPECT_EQ(Requests(usb_instrument_, kCmdQueryValue).size(), 2u);
}

TEST_F(EntryTest, SearchOfNoPortsSearchesNothing) {
    uint32_t version = 0;
    int index = -1;
    EXPECT_FALSE(SearchSerialPorts(&version, &index, 0));
    EXPECT_FALSE(SearchSerialPorts(&version, &index, -2));
    EXPECT_EQ(serial_.Counts().open_attempts, 0u);
    EXPECT_EQ(index, -1);
}

TEST_F(EntryTest, ProtocolRunningRefusesAndLeavesTheInstrumentAlone) {
    serial_.ConnectInstrument(1, serial_instrument_);
    serial_instrument_.Config().status = 0x20;
    console_.PushKeys("k");
    EXPECT_EQ(Run({"-C"}), kExitProtocolRunning);
    EXPECT_EQ(console_.MessageTexts(),
              (Messages{kSearching, " Found Vantrel Version 1.006 on COM1", kProtocolRunning}));
    EXPECT_EQ(Requests(serial_instrument_, kCmdGetStatus).size(), 2u);
    EXPECT_TRUE(Requests(serial_instrument_, kCmdSetRemoteMode).empty());
    EXPECT_FALSE(serial_instrument_.RemoteMode());
    EXPECT_EQ(OpenWindowCount(), 0);
    // The port found is given back when the program ends.
    EXPECT_EQ(serial_.OpenHandleCount(), 0u);
}

// The status bit clears while the message waits for its key: the program goes
// on into remote mode and the upgrade; with no image beside the program the
// upgrade fails and remote mode is left again.
TEST_F(EntryTest, ProtocolThatEndsWhileWaitingLetsTheUpgradeGoOn) {
    std::remove("vtrlprog.bin");
    serial_.ConnectInstrument(1, serial_instrument_);
    serial_instrument_.Config().status = 0x20;
    serial_instrument_.Config().protocol_clears_after_reads = 1;
    console_.PushKeys("kk");  // the protocol message, then the upgrade's own
    EXPECT_EQ(Run({"/C"}), kExitNothingChanged);

    const Messages& log = console_.MessageTexts();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[2], kProtocolRunning);
    EXPECT_NE(log[3].find("Cannot open program file"), std::string::npos);
    const auto remote = Requests(serial_instrument_, kCmdSetRemoteMode);
    ASSERT_EQ(remote.size(), 2u);
    EXPECT_EQ(remote[0], (std::vector<uint8_t>{71, 1, 0, 0, 0}));
    EXPECT_EQ(remote[1], (std::vector<uint8_t>{71, 0, 0, 0, 0}));
    EXPECT_FALSE(serial_instrument_.RemoteMode());
}

TEST_F(EntryTest, FailedStatusReadLetsTheProgramGoOn) {
    std::remove("vtrlprog.bin");
    hid_.AddInstrument(usb_instrument_);
    usb_instrument_.AddFault(sim::FaultAt(1, sim::FaultKind::kNoReply, 1, kCmdGetStatus));
    usb_instrument_.Config().status = 0x20;  // never seen: the read fails
    console_.PushKeys("k");
    EXPECT_EQ(Run({}), kExitNothingChanged);
    EXPECT_EQ(Requests(usb_instrument_, kCmdGetStatus).size(), 1u);
    EXPECT_EQ(Requests(usb_instrument_, kCmdSetRemoteMode).size(), 2u);
}

// The whole road over the serial line: found on COM1, image beside the
// program, confirmed with y, downloaded, verified and restarted.
TEST_F(EntryTest, CompleteUpgradeOverTheSerialLine) {
    serial_instrument_.FormatFactory();
    serial_.ConnectInstrument(1, serial_instrument_);
    const std::vector<uint8_t> image = sim::MakeImage(2000, 1007, 7);
    {
        std::ofstream file("vtrlprog.bin", std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
    }
    console_.PushKeys("y");
    bool ignored_in_remote_mode = false;
    serial_instrument_.SetEventSink([&](const sim::InstrumentEvent& e) {
        if (e.kind == sim::InstrumentEvent::kRemoteMode && e.value == 1) {
            ignored_in_remote_mode = console_.InterruptionsIgnored();
        }
    });
    const int status = Run({"-C"});
    serial_instrument_.SetEventSink(nullptr);
    std::remove("vtrlprog.bin");

    EXPECT_EQ(status, kExitUpgraded);
    // From the moment the instrument was in remote mode, no key and no
    // closed terminal could stop the run.
    EXPECT_TRUE(ignored_in_remote_mode);
    EXPECT_EQ(serial_instrument_.RestartCount(), 1u);
    EXPECT_TRUE(serial_instrument_.MarkersValid());
    EXPECT_EQ(serial_instrument_.ReadFlash(sim::kProgramStart, 2000 - 6),
              std::vector<uint8_t>(image.begin(), image.end() - 6));
    // Remote mode was entered once and, the upgrade having succeeded, not left.
    EXPECT_EQ(Requests(serial_instrument_, kCmdSetRemoteMode).size(), 1u);
    EXPECT_EQ(console_.MessageTexts().back(), " Upgrade complete -- Restarting instrument!");
}

// What the console answers is settled before the instrument is touched: a
// Windows 3.1 host refuses; a terminal tab that keeps its own size has the
// program run again in a console window of the system's own, and the run
// here ends with that one's status (7 where it could not be had); where that
// cannot be done, the program goes on in the tab, its windows kept in view.
TEST_F(EntryTest, TheConsoleIsSettledBeforeAnythingElse) {
    struct Case {
        const char* name;
        uint32_t version;
        bool keeps_its_size;
        RunElsewhere run;
        int status;
    };
    const Case cases[] = {
        {"Windows 3.1 with Win32s", 0x80000003u, false, RunElsewhere::kNotStarted,
         kExitConsoleRefused},
        {"a tab; the run there ends with 4", 0x0A00, true, RunElsewhere::kEnded, 4},
        {"a tab; the run there out of reach", 0x0A00, true, RunElsewhere::kStatusUnknown,
         kExitStatusUnknown},
        {"a tab; no run there", 0x0A00, true, RunElsewhere::kNotStarted, kExitNoInstrument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        console_.SetVersion(c.version);
        console_.SetBufferSize(120, 30);
        console_.SetLargestWindow(120, 30);
        console_.SetKeepsItsSize(c.keeps_its_size);
        console_.SetRunElsewhere(c.run, 4);
        console_.PushKeys("k");
        EXPECT_EQ(Run({"-C"}), c.status);
        EXPECT_EQ(NothingTouched(), c.status != kExitNoInstrument);
        const bool shown_in_part = c.keeps_its_size && c.run == RunElsewhere::kNotStarted;
        EXPECT_EQ(console_.KeptInView().y, shown_in_part ? 30 : 0);
    }
}

}  // namespace
}  // namespace vtrl
