// SPDX-License-Identifier: GPL-3.0-or-later
#include "checks.h"
#include "fd_guard.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

const char *check_device_mac(const ether_addr &mac)
{
    const uint8_t *b = mac.ether_addr_octet;
    if ((b[0] | b[1] | b[2] | b[3] | b[4] | b[5]) == 0)
        return "00:00:00:00:00:00 names no device";
    if (b[0] & 1)
        return "a group address names no single device";
    return nullptr;
}

static bool contiguous(uint32_t mask)
{
    // Ones from the top: the inverse is 0...01...1, which adding one clears.
    const uint32_t host_part = ~mask;
    return (host_part & (host_part + 1)) == 0;
}

const char *check_new_netmask(in_addr netmask, bool dhcp)
{
    const uint32_t mask = ntohl(netmask.s_addr);
    if (mask == 0)
        return dhcp ? nullptr : "0.0.0.0 is no netmask (give one, or use DHCP)";
    if (!contiguous(mask))
        return "not a contiguous netmask";
    return nullptr;
}

const char *check_new_ip(in_addr ip, in_addr netmask, bool dhcp)
{
    const uint32_t a = ntohl(ip.s_addr);
    if (a == 0)
        return dhcp ? nullptr : "0.0.0.0 is no address (give one, or use DHCP)";
    if (a == 0xffffffffu)
        return "the broadcast address names no single device";
    if ((a >> 28) == 0xe)
        return "a multicast address names no single device";
    if ((a >> 28) == 0xf)
        return "a reserved address (240.0.0.0/4)";
    if ((a >> 24) == 127)
        return "a loopback address is reachable only from the device itself";
    if ((a >> 24) == 0)
        return "an address in 0.0.0.0/8 cannot be reached";
    const uint32_t mask = ntohl(netmask.s_addr);
    // /31 and /32 have no network or broadcast address of their own.
    if (mask != 0 && contiguous(mask) && (~mask) > 1) {
        if ((a & ~mask) == 0)
            return "the network address of its subnet";
        if ((a & ~mask) == ~mask)
            return "the broadcast address of its subnet";
    }
    return nullptr;
}

int open_image(const char *path, uint64_t *size, ImageProblem *problem)
{
    struct stat status;
    if (stat(path, &status) < 0) {
        *problem = IMAGE_NO_STATUS;
        return -1;
    }
    FdGuard fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        *problem = IMAGE_UNREADABLE;
        return -1;
    }
    // Checked on what was opened, which may no longer be what stat saw.
    if (fstat(fd.get(), &status) < 0) {
        *problem = IMAGE_NO_STATUS;
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        *problem = IMAGE_NOT_REGULAR;
        return -1;
    }
    if (static_cast<uint64_t>(status.st_size) > UINT32_MAX) {
        *problem = IMAGE_TOO_LARGE;
        return -1;
    }
    *size = static_cast<uint64_t>(status.st_size);
    *problem = IMAGE_OK;
    return fd.release();
}

ImageProblem check_image(const char *path, int *error)
{
    uint64_t size = 0;
    ImageProblem problem = IMAGE_OK;
    errno = 0;
    FdGuard fd(open_image(path, &size, &problem));
    *error = problem == IMAGE_NO_STATUS || problem == IMAGE_UNREADABLE ? errno : 0;
    return problem;
}

const char *image_problem_text(ImageProblem problem)
{
    switch (problem) {
    case IMAGE_OK:
        return "usable";
    case IMAGE_NO_STATUS:
        return "cannot be found";
    case IMAGE_UNREADABLE:
        return "cannot be opened";
    case IMAGE_NOT_REGULAR:
        return "not a regular file";
    case IMAGE_TOO_LARGE:
        return "larger than 4294967295 bytes, the most an upload can announce";
    }
    return "unusable";
}
