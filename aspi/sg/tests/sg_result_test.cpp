#include "sg_io.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "aspi_sg.h"

namespace quelmar::sg {
namespace {

// Linux midlayer codes as SG_IO reports them.
constexpr uint16_t kDidNoConnect = 0x01, kDidBusBusy = 0x02, kDidTimeOut = 0x03, kDidBadTarget = 0x04, kDidAbort = 0x05,
                   kDidParity = 0x06, kDidError = 0x07, kDidReset = 0x08, kDidTransportDisrupted = 0x0E;
constexpr uint16_t kDriverBusy = 0x01, kDriverError = 0x04, kDriverTimeout = 0x06, kDriverSense = 0x08,
                   kSuggestRetry = 0x10;

SgIoResult targetResult(uint8_t status, uint16_t driver = 0)
{
    SgIoResult result;
    result.targetStatus = status;
    result.driverStatus = driver;
    return result;
}

void expectOutcome(const SgIoResult &input, uint8_t status, uint8_t haStat, uint8_t targStat)
{
    const AspiOutcome outcome = mapSgIoResult(input);
    EXPECT_EQ(outcome.status, status);
    EXPECT_EQ(outcome.hostAdapterStatus, haStat);
    EXPECT_EQ(outcome.targetStatus, targStat);
}

TEST(SgIoMapping, TargetStatusDecidesWhenAdapterAndDriverAreQuiet)
{
    expectOutcome(targetResult(0x00), SS_COMP, ASPI_HASTAT_OK, ASPI_TARGET_GOOD);
    expectOutcome(targetResult(0x04), SS_COMP, ASPI_HASTAT_OK, 0x04); // condition met
    expectOutcome(targetResult(0x02, kDriverSense), SS_ERR, ASPI_HASTAT_OK, ASPI_TARGET_CHECK_CONDITION);
    expectOutcome(targetResult(0x08), SS_ERR, ASPI_HASTAT_OK, ASPI_TARGET_BUSY);
    expectOutcome(targetResult(0x18), SS_ERR, ASPI_HASTAT_OK, 0x18); // reservation conflict
    expectOutcome(targetResult(0x03), SS_ERR, ASPI_HASTAT_OK, 0x02); // reserved bit 0 dropped
    // Sense data next to a good status (deferred error report) is no failure.
    expectOutcome(targetResult(0x00, kDriverSense | kSuggestRetry), SS_COMP, ASPI_HASTAT_OK, 0);
}

TEST(SgIoMapping, AdapterFailuresBecomeAdapterStatuses)
{
    struct Case {
        uint16_t host;
        uint8_t haStat;
    };
    for (const Case c : {Case{kDidNoConnect, ASPI_HASTAT_SEL_TO}, Case{kDidBadTarget, ASPI_HASTAT_SEL_TO},
                         Case{kDidBusBusy, ASPI_HASTAT_TIMEOUT}, Case{kDidTimeOut, ASPI_HASTAT_COMMAND_TIMEOUT},
                         Case{kDidAbort, ASPI_HASTAT_COMMAND_TIMEOUT}, Case{kDidParity, ASPI_HASTAT_PARITY_ERROR},
                         Case{kDidReset, ASPI_HASTAT_BUS_RESET}, Case{kDidError, ASPI_HASTAT_PHASE_ERR},
                         Case{kDidTransportDisrupted, ASPI_HASTAT_PHASE_ERR}}) {
        SgIoResult result;
        result.hostStatus = c.host;
        SCOPED_TRACE(c.host);
        expectOutcome(result, SS_ERR, c.haStat, ASPI_TARGET_GOOD);
    }
    // An adapter failure wins over a good target status but keeps a bad one.
    SgIoResult both = targetResult(0x02, kDriverSense);
    both.hostStatus = kDidReset;
    expectOutcome(both, SS_ERR, ASPI_HASTAT_BUS_RESET, ASPI_TARGET_CHECK_CONDITION);
}

TEST(SgIoMapping, DriverFailuresAreErrorsWhateverTheTargetSaid)
{
    expectOutcome(targetResult(0x00, kDriverTimeout), SS_ERR, ASPI_HASTAT_COMMAND_TIMEOUT, 0);
    expectOutcome(targetResult(0x00, kDriverError | kSuggestRetry), SS_ERR, ASPI_HASTAT_PHASE_ERR, 0);
    expectOutcome(targetResult(0x08, kDriverBusy), SS_ERR, ASPI_HASTAT_PHASE_ERR, ASPI_TARGET_BUSY);
}

TEST(SgIoMapping, SystemErrorsIgnoreWhateverElseTheResultHolds)
{
    for (const int gone : {ENOENT, ENODEV, ENXIO}) {
        SgIoResult result = targetResult(0x02);
        result.errorNumber = gone;
        SCOPED_TRACE(gone);
        expectOutcome(result, SS_NO_DEVICE, ASPI_HASTAT_OK, ASPI_TARGET_GOOD);
    }
    for (const int other : {EIO, EACCES, EINVAL, ENOMEM, EINTR, ENOTTY}) {
        SgIoResult result;
        result.errorNumber = other;
        result.hostStatus = kDidReset;
        SCOPED_TRACE(other);
        expectOutcome(result, SS_ERR, ASPI_HASTAT_OK, ASPI_TARGET_GOOD);
    }
}

TEST(SgIoMapping, TransferredBytesClampTheResidual)
{
    EXPECT_EQ(transferredBytes(32768, 0), 32768u);
    EXPECT_EQ(transferredBytes(32768, 768), 32000u);
    EXPECT_EQ(transferredBytes(32768, 32768), 0u);
    EXPECT_EQ(transferredBytes(32768, 40000), 0u);
    EXPECT_EQ(transferredBytes(32768, -5), 32768u);
    EXPECT_EQ(transferredBytes(0, 0), 0u);
}

} // namespace
} // namespace quelmar::sg
