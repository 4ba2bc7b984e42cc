// A request to the simulated bus as a test sends it: an execute request
// with its own data buffer and completion event.
#pragma once

#include "virtual_bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace quelmar::aspi_virtual {

constexpr int kWaitForeverMs = 20000; // only guards against a hanging test

struct Request {
    SRB_ExecSCSICmd srb{};
    std::vector<uint8_t> data;
    int fd = -1;
    Request(uint8_t ha, uint8_t target, std::initializer_list<uint8_t> cdb, uint32_t len, uint8_t dir,
            bool event = true)
        : data(len, 0xA5)
    {
        fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = ha;
        srb.SRB_Target = target;
        srb.SRB_Flags = static_cast<uint8_t>(dir | (event ? SRB_EVENT_NOTIFY : 0));
        srb.SRB_BufLen = len;
        srb.SRB_BufPointer = data.data();
        srb.SRB_SenseLen = 14;
        srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
        std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
        srb.SRB_PostProc = reinterpret_cast<void *>(static_cast<intptr_t>(fd));
    }
    ~Request() { ::close(fd); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    uint8_t status() const { return aspi::loadStatus(srb.SRB_Status); }
    // Waits for the event; returns the event count read (0 on time-out).
    uint64_t waitEvent(int timeoutMs = kWaitForeverMs)
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return 0;
        uint64_t v = 0;
        return ::read(fd, &v, sizeof v) == sizeof v ? v : 0;
    }
    uint8_t sendAndWait(VirtualBus &bus)
    {
        if (bus.send(&srb) == SS_PENDING) {
            EXPECT_EQ(waitEvent(), 1u);
        }
        return status();
    }
};

} // namespace quelmar::aspi_virtual
