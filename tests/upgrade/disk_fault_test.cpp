// Every way the disk can fail the program's files (through its file seam):
// the operator's message, nothing erased when caldata.bin could not be saved
// or read, no earlier valid caldata.bin lost, and no temporary file left once
// a later run has succeeded.
#include <gtest/gtest.h>

#include <string>

#include "tests/upgrade/disk_faults.h"

namespace vtrl::test {
namespace {

TEST(DiskFaults, EachFailureIsReportedAndLosesNothing) {
    for (const DiskFaultCase& c : DiskFaultCases()) {
        SCOPED_TRACE(std::string(c.name) + (c.saved_copy ? ", earlier caldata.bin" : ""));
        const DiskFaultRow row = RunDiskFault(c);
        std::string message = c.message;
        const size_t at = message.find("%s");
        if (at != std::string::npos) {
            ASSERT_NE(row.message.find("vtrlprog.bin"), std::string::npos) << row.message;
            message.replace(at, 2, row.message.substr(at, row.message.size() - message.size() + 2));
        }
        EXPECT_EQ(row.message, message);
        // A failure stops before anything is erased; an upgrade that copes
        // completes and leaves no caldata.bin.
        const bool copes = message.empty();
        EXPECT_EQ(row.completed, copes);
        EXPECT_EQ(row.instrument_changed, copes);
        if (copes) {
            EXPECT_FALSE(row.calibration_file_left);
        } else if (c.saved_copy) {
            EXPECT_TRUE(row.saved_copy_kept);  // an earlier valid caldata.bin survives
        }
        EXPECT_EQ(row.temporary_left, c.fault.remove_fails && !c.fault.create_fails);
        EXPECT_TRUE(row.next_run_clean);
    }
}

}  // namespace
}  // namespace vtrl::test
