// SPDX-License-Identifier: GPL-3.0-or-later
// The packet codec: a three-byte header, then type-length-value attributes.
#include "discover.h"
#include "report.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

void reset_discover_packet(DiscoverEntry *entry)
{
    std::memset(entry, 0, sizeof(*entry));
}

namespace
{

// A read position over received bytes; every read checks what is left first.
struct Cursor {
    const unsigned char *data;
    int len;
    int off;

    int remaining() const { return len - off; }
    bool take_byte(unsigned *value)
    {
        if (remaining() < 1)
            return false;
        *value = data[off++];
        return true;
    }
};

bool is_zero(const void *bytes, size_t size)
{
    const auto *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < size; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// Writes exactly len bytes: the value up to its first NUL, then NULs. Bytes of
// the field beyond len keep what an earlier attribute of the same type wrote.
void store_text(char *field, const unsigned char *value, unsigned len)
{
    unsigned i = 0;
    for (; i < len && value[i] != 0; ++i)
        field[i] = static_cast<char>(value[i]);
    for (; i < len; ++i)
        field[i] = 0;
}

// Decodes one attribute value into entry. Returns false when a fixed-size
// attribute has the wrong length, which ends decoding without failing it.
bool decode_attribute(unsigned type, const unsigned char *value, unsigned len, DiscoverEntry *entry)
{
    switch (type) {
    case ATTR_FIRMWARE:
        store_text(entry->firmware, value, len);
        return true;
    case ATTR_HOSTNAME:
        store_text(entry->hostname, value, len);
        return true;
    case ATTR_MAC:
        if (len != sizeof(entry->mac)) {
            report_error("parse_discover_packet: b0rked MAC field length\n");
            return false;
        }
        std::memcpy(&entry->mac, value, len);
        return true;
    case ATTR_IPADDR:
    case ATTR_NETMASK:
        if (len != sizeof(in_addr)) {
            report_error("parse_discover_packet: b0rked IPv4 addr field length\n");
            return false;
        }
        std::memcpy(type == ATTR_IPADDR ? &entry->ipaddr : &entry->netmask, value, len);
        return true;
    case ATTR_DHCP:
        if (len != 1) {
            report_error("parse_discover_packet: b0rked DHCP flag field length\n");
            return false;
        }
        entry->dhcp = value[0] != 0 ? 1 : 0;
        return true;
    case ATTR_INSTALL_STATE:
        if (len != 1) {
            report_error("parse_discover_packet: b0rked install state field length\n");
            return false;
        }
        entry->install_state = value[0];
        return true;
    case ATTR_RESULT:
        if (len != 1) {
            report_error("parse_discover_packet: b0rked result field length\n");
            return false;
        }
        entry->result = value[0];
        return true;
    default:
        report_error("parse_discover_packet: ... unknown attribute: type 0x%02x, length %u\n", type,
                     len);
        return true;
    }
}

const char *const no_attribute_length =
    "parse_discover_packet: packet is b0rked, not enough space for attribute length\n";

} // namespace

int parse_discover_packet(const unsigned char *data, int length, DiscoverEntry *entry)
{
    reset_discover_packet(entry);
    if (length < 3) {
        report_error("parse_discover_packet: too short packet (only %d bytes)\n", length);
        return -1;
    }
    entry->type = data[0];
    entry->session_id[0] = data[1];
    entry->session_id[1] = data[2];

    Cursor cur{data, length, 3};
    while (cur.remaining() > 0) {
        unsigned type, len;
        if (!cur.take_byte(&type) || !cur.take_byte(&len)) {
            report_error("%s", no_attribute_length);
            return -1;
        }
        if (len > static_cast<unsigned>(cur.remaining())) {
            report_error(
                "parse_discover_packet: packet is b0rked, not enough space for attribute\n");
            return -1;
        }
        const unsigned char *value = cur.data + cur.off;
        cur.off += static_cast<int>(len);
        if (!decode_attribute(type, value, len, entry))
            return 0;
    }
    return 0;
}

namespace
{

// Appends one attribute, or reports that it does not fit and leaves the packet
// as it was so that a later, smaller attribute may still go in.
void put_field(unsigned char *packet, int *length, unsigned type, const void *value, unsigned len)
{
    if (static_cast<unsigned>(*length) + 2 + len > MAX_PACKET_LEN) {
        report_result("put_field: maximal packet lenght exceeded (max %u bytes, full %u bytes, "
                      "trying to insert %u+2 bytes)\n",
                      static_cast<unsigned>(MAX_PACKET_LEN), static_cast<unsigned>(*length), len);
        return;
    }
    packet[*length] = static_cast<unsigned char>(type);
    packet[*length + 1] = static_cast<unsigned char>(len);
    std::memcpy(packet + *length + 2, value, len);
    *length += 2 + static_cast<int>(len);
}

void put_text(unsigned char *packet, int *length, unsigned type, const char *text)
{
    size_t len = strnlen(text, TEXT_FIELD_LEN);
    if (len > 0)
        put_field(packet, length, type, text, static_cast<unsigned>(len));
}

template <typename T> void put_fixed(unsigned char *packet, int *length, unsigned type, const T &v)
{
    if (!is_zero(&v, sizeof(v)))
        put_field(packet, length, type, &v, sizeof(v));
}

} // namespace

int encode_discover_packet(const DiscoverEntry *entry, unsigned char packet[MAX_PACKET_LEN])
{
    std::memset(packet, 0, MAX_PACKET_LEN);
    packet[0] = static_cast<unsigned char>(entry->type);
    packet[1] = entry->session_id[0];
    packet[2] = entry->session_id[1];
    int length = 3;
    put_text(packet, &length, ATTR_FIRMWARE, entry->firmware);
    put_fixed(packet, &length, ATTR_MAC, entry->mac);
    put_fixed(packet, &length, ATTR_IPADDR, entry->ipaddr);
    put_fixed(packet, &length, ATTR_NETMASK, entry->netmask);
    put_text(packet, &length, ATTR_HOSTNAME, entry->hostname);
    put_fixed(packet, &length, ATTR_DHCP, entry->dhcp);
    put_fixed(packet, &length, ATTR_INSTALL_STATE, entry->install_state);
    put_fixed(packet, &length, ATTR_RESULT, entry->result);
    return length;
}

static int send_packet(int sock, in_addr address, uint16_t port, const DiscoverEntry *entry,
                       const char *name)
{
    unsigned char packet[MAX_PACKET_LEN];
    int length = encode_discover_packet(entry, packet);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = address;
    ssize_t sent = sendto(sock, packet, static_cast<size_t>(length), 0,
                          reinterpret_cast<const sockaddr *>(&to), sizeof(to));
    if (sent < 0) {
        report_error("%s: sendto: %s\n", name, std::strerror(errno));
        return -1;
    }
    if (sent != length) {
        report_error("%s: sendto didn't quite make it\n", name);
        return -1;
    }
    return 0;
}

int broadcast_discover_packet(int sock, uint16_t port, const DiscoverEntry *entry)
{
    return send_packet(sock, in_addr{htonl(INADDR_BROADCAST)}, port, entry,
                       "broadcast_discover_packet");
}

int send_discover_packet_to(int sock, in_addr to, uint16_t port, const DiscoverEntry *entry)
{
    return send_packet(sock, to, port, entry, "send_discover_packet_to");
}

const char *setup_result_word(int result)
{
    switch (result) {
    case RESULT_FORBIDDEN:
        return "setup forbidden";
    case RESULT_SUCCESS:
        return "success";
    case RESULT_FAILED:
        return "setup_failed";
    default:
        return "b0rked";
    }
}

const char *install_result_word(int result)
{
    switch (result) {
    case RESULT_FORBIDDEN:
        return "install forbidden";
    case RESULT_SUCCESS:
        return "socket open";
    case RESULT_FAILED:
        return "socket creation failed";
    default:
        return "b0rked";
    }
}
