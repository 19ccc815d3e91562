// Shared set-up for the link tests: every test starts from the module's
// initial state and leaves no port, hook or mapping behind.
#pragma once

#include "exchange.h"
#include "morecom.h"
#include "simulator.h"
#include "testpty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class LinkTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        MoreCOM::BaudRate = 9600;
        MoreCOM::ReplyTimeout = Ms(1000);
        MoreCOM::StopFlag = 0;
        MoreCOM::LastError = 0;
        MoreCOM::CurrentHandle = MoreCOM::NoHandle;
        MoreCOM::ReplyLine.clear();
    }
    void TearDown() override
    {
        MoreCOM::ClosePort(MoreCOM::CurrentHandle);
        MoreCOM::SetEventHook({});
        MoreCOM::ClearPortPaths();
        MoreCOM::StopFlag = 0;
    }

    static double Ms(double ms) { return ms / 86400000.0; }

    /// Maps COM `com` to `path` and opens it; CurrentHandle is the port.
    static bool Open(int com, const std::string &path)
    {
        MoreCOM::SetPortPath(com, path);
        MoreCOM::PortIndex = com - 1;
        return MoreCOM::OpenPort();
    }

    /// A simulator serving `addresses` on COM1, with the port opened on it.
    void OpenSim(sim::Simulator &s, std::vector<int> addresses = {1})
    {
        const std::string path = s.AddPort(1, addresses);
        ASSERT_FALSE(path.empty());
        ASSERT_TRUE(Open(1, path)) << MoreCOM::LastError;
    }
};
