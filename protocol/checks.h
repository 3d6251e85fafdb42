// SPDX-License-Identifier: GPL-3.0-or-later
// Checks of what a user asks to send to a device, shared by the window and
// the command line, so that nothing goes out that no device could take.
#pragma once

#include <cstdint>
#include <netinet/ether.h>
#include <netinet/in.h>

// Each returns null when the value will do, otherwise why not, as a phrase
// such as "a group address names no single device".
const char *check_device_mac(const ether_addr &mac);
// With dhcp, 0.0.0.0 leaves the netmask out of the request.
const char *check_new_netmask(in_addr netmask, bool dhcp);
// With dhcp, 0.0.0.0 leaves the address out of the request; any other
// address must be one a device can hold in the netmask's subnet.
const char *check_new_ip(in_addr ip, in_addr netmask, bool dhcp);

enum ImageProblem {
    IMAGE_OK,
    IMAGE_NO_STATUS,   // stat failed; errno says why
    IMAGE_UNREADABLE,  // open failed; errno says why
    IMAGE_NOT_REGULAR, // a pipe, device or directory has no size to announce
    IMAGE_TOO_LARGE,   // the upload header holds at most 4294967295
};

// Opens an image for an upload without blocking (a FIFO would) and checks it;
// returns the descriptor with *size set, or -1 with *problem set and errno
// kept.
int open_image(const char *path, uint64_t *size, ImageProblem *problem);
// The same check for a front end, which closes the file again. IMAGE_OK, or
// the problem with *error set to the errno that tells why (0 when none).
ImageProblem check_image(const char *path, int *error);
const char *image_problem_text(ImageProblem problem);
