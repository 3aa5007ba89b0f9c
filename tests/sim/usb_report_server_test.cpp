// The stand-in's end of the test HID driver's pipe, on a virtual clock: what
// it answers to the driver's messages, and when, at once and at full-speed
// USB pace (a 257- or 259-byte report takes 5 frames of 1 ms).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/instrument.h"
#include "sim/usb_report_server.h"

namespace vtrl::sim {
namespace {

WireMessage Msg(uint8_t type, std::vector<uint8_t> payload = {}) {
    WireMessage m;
    m.type = type;
    m.payload = std::move(payload);
    return m;
}

WireMessage Output(std::vector<uint8_t> packet) {
    std::vector<uint8_t> report(257, 0);
    std::copy(packet.begin(), packet.end(), report.begin() + 1);
    return Msg(VTRL_WIRE_OUTPUT, report);
}

struct Sent {
    uint64_t at_us;
    WireMessage message;
};

// Runs the server until nothing more falls due, collecting what it sends.
std::vector<Sent> RunUntilQuiet(UsbReportServer& server, VirtualClock& clock, uint64_t limit_us) {
    std::vector<Sent> sent;
    for (;;) {
        for (WireMessage& m : server.TakeDue()) {
            sent.push_back({clock.NowUs(), std::move(m)});
        }
        const uint64_t next = server.NextDueUs();
        if (next == UINT64_MAX || next > limit_us) {
            return sent;
        }
        if (next > clock.NowUs()) {
            clock.Advance(next - clock.NowUs());
        }
    }
}

// One QueryValue(0) exchange as Wine's class driver carries it: a read is
// held, the output report goes out; release 2 answers in the input report,
// release 1 shows the ready flag, then gives the feature report.
TEST(UsbReportServer, OneExchangeEachWayAtOnceAndAtFullSpeed) {
    struct Case {
        uint16_t release;
        bool full_speed;
        uint64_t done_us;     // the output report taken ('w')
        uint64_t answer_us;   // release 2: the response; release 1: the first ready status
        uint64_t feature_us;  // release 1: the feature report, fetched when ready
    };
    const Case cases[] = {
        {2, false, 0, 0, 0},
        {2, true, 5000, 5000 + 1000 + 5000, 0},
        {1, false, 0, 1000, 1000},
        {1, true, 5000, 8000 + 5000, 8000 + 5000 + 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "release " << c.release << " full speed " << c.full_speed);
        VirtualClock clock;
        InstrumentConfig config;
        config.usb_release = c.release;
        if (!c.full_speed) {
            config.usb_response_latency_us = 0;
            config.usb_status_interval_us = 1000;
        }
        Instrument inst(config);
        UsbReportServer server(inst, clock, c.full_speed);
        server.Receive(Msg(VTRL_WIRE_READ));
        server.Receive(Output({2, 0, 0}));
        std::vector<Sent> sent;
        uint64_t ready_at = UINT64_MAX;
        // The class driver holds a new read as soon as one is answered.
        while (ready_at == UINT64_MAX && clock.NowUs() < 100000) {
            std::vector<Sent> more = RunUntilQuiet(server, clock, clock.NowUs() + 20000);
            for (Sent& s : more) {
                if (s.message.type == VTRL_WIRE_INPUT) {
                    ASSERT_EQ(s.message.payload.size(), 258u);
                    const bool ready = c.release >= 2 ? s.message.payload[2] == 2
                                                      : (s.message.payload[0] & 1) != 0;
                    if (ready && ready_at == UINT64_MAX) {
                        ready_at = s.at_us;
                        if (c.release >= 2) {
                            EXPECT_EQ(s.message.payload[5], 3);  // 1006 = 0x3EE, high byte
                        }
                    }
                    server.Receive(Msg(VTRL_WIRE_READ));
                }
                sent.push_back(std::move(s));
            }
            if (more.empty()) {
                break;
            }
        }
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent[0].message.type, VTRL_WIRE_OUTPUT_DONE);
        EXPECT_EQ(sent[0].message.payload, std::vector<uint8_t>{0});
        EXPECT_EQ(sent[0].at_us, c.done_us);
        EXPECT_EQ(ready_at, c.answer_us);
        if (c.release <= 1) {
            server.Receive(Msg(VTRL_WIRE_GET_FEATURE, {0}));
            const std::vector<Sent> f = RunUntilQuiet(server, clock, clock.NowUs() + 20000);
            ASSERT_FALSE(f.empty());
            EXPECT_EQ(f[0].message.type, VTRL_WIRE_FEATURE);
            ASSERT_EQ(f[0].message.payload.size(), 257u);
            EXPECT_EQ(f[0].message.payload[0], 0) << "given";
            EXPECT_EQ(f[0].message.payload[1], 2) << "the echo";
            EXPECT_EQ(f[0].at_us, c.feature_us);
        }
        EXPECT_EQ(server.counts().output_reports, 1u);
        EXPECT_EQ(server.counts().paced_transfer_us % 5000, 0u);
    }
}

// A refused feature fetch is answered at once and, with the trace on, noted
// with the driver's own notes and every request taken; with the trace off
// there are no notes at all.
TEST(UsbReportServer, RefusedFeatureAndNotes) {
    for (bool trace : {false, true}) {
        VirtualClock clock;
        InstrumentConfig config;
        config.usb_release = 1;
        Instrument inst(config);
        inst.AddFault({1, FaultKind::kFeatureFail});
        UsbReportServer server(inst, clock, false);
        server.SetTrace(trace);
        server.Receive(Msg(VTRL_WIRE_NOTE, {'h', 'i'}));
        server.Receive(Output({72}));
        RunUntilQuiet(server, clock, 1000000);
        clock.Advance(5000);
        server.Receive(Msg(VTRL_WIRE_GET_FEATURE, {0}));
        const std::vector<WireMessage> due = server.TakeDue();
        ASSERT_EQ(due.size(), 1u);
        EXPECT_EQ(due[0].payload, std::vector<uint8_t>{1});
        EXPECT_EQ(server.counts().refused_features, 1u);
        const std::vector<std::string> notes = server.TakeNotes();
        EXPECT_EQ(notes,
                  trace ? (std::vector<std::string>{"hi", "request 72", "feature report refused"})
                        : std::vector<std::string>{});
    }
}

TEST(WireReader, ReassemblesSplitMessagesAndStopsAtAnOversizedOne) {
    const std::vector<uint8_t> a = EncodeWire(Msg(VTRL_WIRE_OUTPUT_DONE, {0}));
    const std::vector<uint8_t> b = EncodeWire(Msg(VTRL_WIRE_READ));
    std::vector<uint8_t> stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    WireReader reader;
    WireMessage m;
    std::vector<uint8_t> types;
    for (uint8_t byte : stream) {
        reader.Feed(&byte, 1);
        while (reader.Next(&m)) {
            types.push_back(m.type);
        }
    }
    EXPECT_EQ(types, (std::vector<uint8_t>{VTRL_WIRE_OUTPUT_DONE, VTRL_WIRE_READ}));
    const uint8_t oversized[] = {VTRL_WIRE_INPUT, 0xFF, 0xFF};
    reader.Feed(oversized, sizeof oversized);
    EXPECT_FALSE(reader.Next(&m));
    EXPECT_TRUE(reader.Broken());
}

}  // namespace
}  // namespace vtrl::sim
