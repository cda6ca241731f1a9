#include "hopcycle/scsi_request.h"

namespace hopcycle {

namespace {

void PutLittleEndian(Request& request, std::size_t offset, std::uint32_t value, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) request[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

Request BuildReplugRequest(const PassThroughLayout& layout)
{
    Request request{};
    PutLittleEndian(request, layout.length, static_cast<std::uint32_t>(layout.size), 2);
    request[layout.targetId] = 1;
    request[layout.cdbLength] = 10;
    request[layout.senseInfoLength] = kSenseSize;
    request[layout.dataIn] = 1;
    PutLittleEndian(request, layout.timeOutValue, 10, 4);
    PutLittleEndian(request, layout.senseInfoOffset, static_cast<std::uint32_t>(SenseOffset(layout)), 4);
    request[layout.cdb] = 0x85;
    for (std::size_t i = 1; i <= 9; ++i) request[layout.cdb + i] = 0x01;
    return request;
}

}  // namespace hopcycle
