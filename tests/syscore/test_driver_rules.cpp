// How the transport reads the drivers' answers: aacraid SRB status, the CISS request each driver
// takes, SG_IO status words, the busy-driver retry and the aacraid node check helpers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "SyscoreTestSupport.h"
#include "sysc_linux_x86.h"

namespace {

TEST(SisReply, SrbStatusDecidesDelivery)
{
    struct Row {
        uint32_t reply, srb, status;
    } rows[] = {
        {0, 0x01, 0},                         // success
        {0, 0x12, 0},                         // data overrun, also an underrun
        {0, 0x81, 0},                         // success with the autosense bit: masked to 0x01
        {0, 0x92, 0},                         // overrun with the autosense bit
        {0, 0x41, 0},                         // bit 6 is above the mask
        {0, 0x00, SC_SIS_STATUS_SRB_FAILED},  // pending: the command did not complete
        {0, 0x04, SC_SIS_STATUS_SRB_FAILED},  // error (CHECK CONDITION)
        {0, 0x84, SC_SIS_STATUS_SRB_FAILED},
        {0, 0x06, SC_SIS_STATUS_SRB_FAILED},  // invalid request
        {0, 0x0A, SC_SIS_STATUS_SRB_FAILED},  // selection timeout: the buffer is zeros, not a reply
        {0, 0x22, SC_SIS_STATUS_SRB_FAILED},  // aborted by a bus reset
        {1, 0x01, SC_SIS_STATUS_SRB_FAILED},  // the reply status alone fails it
        {0xFFFFFFFF, 0x12, SC_SIS_STATUS_SRB_FAILED},
    };
    for (const Row& r : rows)
        EXPECT_EQ(scSisReplyStatus(r.reply, r.srb), r.status) << std::hex << "reply " << r.reply << " srb " << r.srb;
}

TEST(CissRequest, SmartpqiNeverGetsTheBigRequest)
{
    struct Row {
        uint16_t protocol;
        uint32_t length;
        SC_CissRequest request;
    } rows[] = {
        {SC_PROTOCOL_CISS, 0, SC_CISS_REGULAR},    {SC_PROTOCOL_CISS, 65535, SC_CISS_REGULAR},
        {SC_PROTOCOL_CISS, 65536, SC_CISS_BIG},    {SC_PROTOCOL_CISS, 128000, SC_CISS_BIG},
        {SC_PROTOCOL_PQI, 16384, SC_CISS_REGULAR}, {SC_PROTOCOL_PQI, 65535, SC_CISS_REGULAR},
        {SC_PROTOCOL_PQI, 65536, SC_CISS_REFUSED}, {SC_PROTOCOL_PQI, 128000, SC_CISS_REFUSED},
    };
    for (const Row& r : rows)
        EXPECT_EQ(scCissRequestFor(r.protocol, r.length), r.request) << r.protocol << " " << r.length;
}

TEST(SgIoOutcome, HostAndDriverErrorsFailTheCommand)
{
    struct Row {
        unsigned short host, driver;
        uint32_t status;
    } rows[] = {
        {0, 0x00, 0},    // clean
        {0, 0x08, 0},    // sense came with the SCSI status
        {0, 0x28, 0},    // a suggestion bit beside the sense flag
        {0x01, 0, EIO},  // no connect
        {0x03, 0, EIO},  // time out
        {0, 0x06, EIO},  // driver time out
        {0, 0x0C, EIO},  // hard error together with sense
    };
    for (const Row& r : rows) {
        sg_io_hdr_t hdr;
        std::memset(&hdr, 0, sizeof(hdr));
        hdr.host_status = r.host;
        hdr.driver_status = r.driver;
        EXPECT_EQ(scSgIoOutcome(&hdr), r.status) << r.host << " " << r.driver;
    }
}

// A clock that only moves when told: sleeps and attempts advance it.
class FakeClock : public SC_Clock {
public:
    uint64_t now = 1000;
    std::vector<uint32_t> pauses;
    uint64_t NowMs() override { return now; }
    void SleepMs(uint32_t ms) override
    {
        pauses.push_back(ms);
        now += ms;
    }
};

TEST(BusyRetry, GrowingPausesWithinTheBudget)
{
    struct Row {
        const char* what;
        std::vector<int> errors;  // errno of each failed attempt, in order; the policy is asked after each
        uint32_t attemptMs;       // time each attempt itself takes
        std::vector<uint32_t> pauses;
        bool lastAgain;  // what the policy answers after the last error
    } rows[] = {
        {"EAGAIN twice, then through", {EAGAIN, EAGAIN}, 0, {50, 100}, true},
        {"EBUSY once", {EBUSY}, 0, {50}, true},
        {"EIO is not busy", {EIO}, 0, {}, false},
        {"ENODEV is not busy", {ENODEV}, 0, {}, false},
        {"no error", {0}, 0, {}, false},
        {"busy then another error", {EAGAIN, EIO}, 0, {50}, false},
        {"busy for good: pauses double to 2 s and stop at 10 s in all",
         std::vector<int>(11, EAGAIN),
         0,
         {50, 100, 200, 400, 800, 1600, 2000, 2000, 2000, 850},
         false},
        {"slow attempts use the budget too", std::vector<int>(4, EBUSY), 3000, {50, 100, 200}, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        FakeClock clock;
        LogCapture capture(3);
        SC_BusyRetry retry(clock);
        bool again = false;
        for (size_t i = 0; i < r.errors.size(); ++i) {
            clock.now += r.attemptMs;
            again = retry.Again(r.errors[i]);
            if (i + 1 < r.errors.size()) {
                ASSERT_TRUE(again) << "gave up after attempt " << i + 1;
            }
        }
        EXPECT_EQ(again, r.lastAgain);
        EXPECT_EQ(clock.pauses, r.pauses);
        EXPECT_EQ(retry.retries(), r.pauses.size());
        uint32_t waited = 0;
        for (uint32_t p : clock.pauses) waited += p;
        EXPECT_LE(waited, (uint32_t)SC_BUSY_BUDGET_MS);
        // One note per retry, and a failure line when a busy refusal outlasts the budget.
        size_t notes = 0, failures = 0;
        for (const auto& line : LogCapture::Lines()) {
            if (line.first == 2 && line.second.find("Driver busy") == 0) ++notes;
            if (line.first == 1 && line.second.find("Driver still busy") == 0) ++failures;
        }
        EXPECT_EQ(notes, r.pauses.size());
        EXPECT_EQ(failures, (!r.lastAgain && SC_BusyRetry::IsBusy(r.errors.back())) ? 1u : 0u);
    }
}

TEST(AacNodeCheck, PciAddressAndReply)
{
    struct Path {
        const char* path;
        int ok;
        unsigned bus, device;
    } paths[] = {
        {"/sys/devices/pci0000:00/0000:00:03.0/0000:03:00.0", 1, 0x03, 0},
        {"/sys/devices/pci0000:00/0000:00:1c.4/0000:a1:1f.7", 1, 0xa1, 0x1f},
        {"0000:05:02.1", 1, 5, 2},
        {"/sys/devices/pci0000:00/0000:00:03.0/host3", 0, 0, 0},
        {"/sys/devices/pci0000:00/0000:03:00.0x", 0, 0, 0},
        {"/sys/devices/pci0000:00/0000:03:20.0", 0, 0, 0},  // no device 32
    };
    for (const Path& p : paths) {
        unsigned bus = 0, device = 0;
        EXPECT_EQ(scParsePciAddress(p.path, &bus, &device), p.ok) << p.path;
        if (p.ok) {
            EXPECT_EQ(bus, p.bus) << p.path;
            EXPECT_EQ(device, p.device) << p.path;
        }
    }
    struct Reply {
        uint32_t bus, slot;
        int matches;
    } replies[] = {{3, 0, 1}, {3, 1, 0}, {4, 0, 0}, {0x103, 0, 0}, {3, 0x100, 0}};
    for (const Reply& r : replies) {
        uint8_t reply[8];
        SC_PutLE32(reply, r.bus);
        SC_PutLE32(reply + 4, r.slot);
        EXPECT_EQ(scAacPciInfoMatches(reply, 3, 0), r.matches) << r.bus << ":" << r.slot;
    }
}

TEST(AacNodeCheck, CandidateMinors)
{
    struct Row {
        int instance, hosts, capacity;
        std::vector<int> minors;
    } rows[] = {
        {0, 1, 8, {0, 1}},    {1, 2, 8, {1, 0, 2}},
        {0, 2, 8, {0, 1, 2}}, {3, 2, 8, {3, 0, 1, 2}},  // an instance beyond the count still goes first
        {0, 0, 8, {0}},       {2, 5, 3, {2, 0, 1}},     // cut to the capacity
    };
    for (const Row& r : rows) {
        int minors[16];
        int n = scAacCandidateMinors(r.instance, r.hosts, minors, r.capacity);
        EXPECT_EQ(std::vector<int>(minors, minors + n), r.minors) << r.instance << " of " << r.hosts;
    }
}

}  // namespace
