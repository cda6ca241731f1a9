#include "platform/scsi_generic.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool SendScsiCommand(const std::string& devnode, const std::vector<std::uint8_t>& cdb, unsigned timeoutMs,
                     std::string& error)
{
    const int fd = ::open(devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = devnode + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::uint8_t> command = cdb;
    unsigned char sense[24] = {};
    sg_io_hdr_t request{};
    request.interface_id = 'S';
    request.dxfer_direction = SG_DXFER_NONE;
    request.cmd_len = static_cast<unsigned char>(command.size());
    request.cmdp = command.data();
    request.mx_sb_len = sizeof sense;
    request.sbp = sense;
    request.timeout = timeoutMs;
    const bool sent = ::ioctl(fd, SG_IO, &request) == 0;
    if (!sent) error = devnode + ": SG_IO: " + std::strerror(errno);
    ::close(fd);
    return sent;
}

}  // namespace platform
