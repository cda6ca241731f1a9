#pragma once

#include <string>

#include "link/frame_codec.h"
#include "link/phone_protocol.h"
#include "wire_fixture.h"

// A DIAG reply as the device sends it: payload, CRC, escaping, trailing flag.
inline Bytes DeviceFrame(const Bytes& payload)
{
    Bytes withCrc = payload;
    withCrc.resize(withCrc.size() + 2);
    frame::AppendCrc(withCrc.data(), payload.size());
    Bytes out;
    frame::AppendEscaped(withCrc.data(), withCrc.size(), out);
    out.push_back(frame::kFlag);
    return out;
}

inline Bytes Join(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline const std::string kNoReply = CPhoneProtocol::kNoReply;

// A protocol object on the scripted port, opened as a line opens it.
class DiagTest : public WireTest {
protected:
    DiagTest() { protocol.port.Open(kPort, 115200, 8, 1); }

    // The payload of the last frame sent; empty unless its flag and CRC are right.
    Bytes LastSentPayload()
    {
        const Bytes sent = wire->HostWrites().back();
        Bytes unescaped;
        frame::AppendUnescaped(sent.data(), sent.size() - 1, unescaped);
        if (sent.back() != frame::kFlag || !frame::CheckCrc(unescaped.data(), unescaped.size())) return {};
        return Bytes(unescaped.begin(), unescaped.end() - 2);
    }

    CPhoneProtocol protocol;
};
