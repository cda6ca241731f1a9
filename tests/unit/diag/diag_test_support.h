#pragma once

#include <string>

#include "link/phone_protocol.h"
#include "wire_fixture.h"

// A DIAG reply as the device sends it: framed as a request is.
inline Bytes DeviceFrame(const Bytes& payload) { return FrameRequest(ProtocolMode::Diag, payload); }

inline const std::string kNoReply = CPhoneProtocol::kNoReply;

// A protocol object on the scripted port, opened as a line opens it.
class DiagTest : public WireTest {
protected:
    DiagTest() { EXPECT_TRUE(protocol.port.Open(kPort, 115200, 8, 1)); }

    // The payload of the last frame sent; empty unless its flag and CRC are right.
    Bytes LastSentPayload()
    {
        const Result<Bytes> sent = UnframeReply(ProtocolMode::Diag, wire->HostWrites().back());
        return sent ? *sent : Bytes{};
    }

    CPhoneProtocol protocol{clock, ports};
};
