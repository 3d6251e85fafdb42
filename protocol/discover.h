// SPDX-License-Identifier: GPL-3.0-or-later
// The device discovery protocol: the packet record, its wire codec and the
// exchanges with the devices. Plain functions over plain records; results are
// integers and every failure prints one line on stderr.
#pragma once

#include <cstdint>
#include <netinet/ether.h>
#include <netinet/in.h>

constexpr uint16_t DISCOVER_PORT = 62387;
constexpr uint16_t INSTALL_PORT = 53594;
constexpr int MAX_PACKET_LEN = 255;
constexpr int TEXT_FIELD_LEN = 260;
constexpr int INSTALL_CHUNK = 2048;

enum DiscoverType {
    DISCOVER_REQUEST = 1,
    DISCOVER_REPLY = 2,
    DISCOVER_ACK = 3,
    SETUP_REQUEST = 4,
    SETUP_REPLY = 5,
    INSTALL_REQUEST = 6,
    INSTALL_REPLY = 7,
};

enum DiscoverAttribute {
    ATTR_FIRMWARE = 1,
    ATTR_MAC = 2,
    ATTR_IPADDR = 3,
    ATTR_NETMASK = 4,
    ATTR_HOSTNAME = 5,
    ATTR_DHCP = 6,
    ATTR_INSTALL_STATE = 7,
    ATTR_RESULT = 8,
};

enum DiscoverResult {
    RESULT_FORBIDDEN = 1,
    RESULT_SUCCESS = 2,
    RESULT_FAILED = 3,
};

// One packet, and once a discover reply is decoded, one device. A zero field
// means the attribute is absent.
struct DiscoverEntry {
    int type;
    unsigned char session_id[2];
    char firmware[TEXT_FIELD_LEN];
    char hostname[TEXT_FIELD_LEN];
    ether_addr mac;
    in_addr ipaddr;
    in_addr netmask;
    unsigned char dhcp;
    unsigned char install_state;
    unsigned char result;
};

// Where the library's lines go: failures and notices (LINE_ERROR) on stderr
// and results (LINE_RESULT) on stdout unless a handler is set. A handler gets
// one whole line, newline included, on whichever thread runs the library.
enum DiscoverLineKind { LINE_RESULT, LINE_ERROR };
using DiscoverLineHandler = void (*)(DiscoverLineKind kind, const char *line);
// Takes effect for every later line; null restores the default.
void discover_set_line_handler(DiscoverLineHandler handler);

// Packet codec.
void reset_discover_packet(DiscoverEntry *entry);
int parse_discover_packet(const unsigned char *data, int length, DiscoverEntry *entry);
// Builds the datagram for entry into packet; returns its length (3 to 255).
int encode_discover_packet(const DiscoverEntry *entry, unsigned char packet[MAX_PACKET_LEN]);
int broadcast_discover_packet(int sock, uint16_t port, const DiscoverEntry *entry);
// The same datagram to one IPv4 address: a device's own address, or the
// broadcast address of a subnet behind a router.
int send_discover_packet_to(int sock, in_addr to, uint16_t port, const DiscoverEntry *entry);

// The word the setup and install exchanges print for a reply's result code.
const char *setup_result_word(int result);
const char *install_result_word(int result);

// Discovery exchange. Sends return 0 when the datagram went out whole, -1
// otherwise.
// The UDP socket of an exchange, bound to local at a port the system picks,
// with a 2-second receive time-out; -1 when it cannot be set up.
int set_discover_socket(const in_addr *local);
// The same, bound to port instead (0: the system picks).
int open_discover_socket(const in_addr *local, uint16_t port);
void fill_session_id(unsigned char session_id[2]);
int send_discover(int sock, const unsigned char session_id[2]);
int send_discover_reply_ack(int sock, const unsigned char session_id[2]);
// The request to one address instead of the limited broadcast.
int send_discover_to(int sock, const unsigned char session_id[2], in_addr to);
// Reads return 1 for a usable packet (read_discover_reply: a reply of the
// session, acknowledged and copied to entry), 0 for a datagram to ignore
// (the loop goes on), -1 for the time-out or a receive error (the loop ends).
int read_discover_packet(int sock, DiscoverEntry *entry, sockaddr_in *from);
int read_discover_reply(int sock, const unsigned char session_id[2], DiscoverEntry *entry);
void print_discover_entry(const DiscoverEntry *entry);

// Accepts a decoded packet as a discover reply of the session, with the lines
// of read_discover_reply; on 1 the reply has been acknowledged on ack_sock.
int accept_discover_reply(int ack_sock, const unsigned char session_id[2],
                          const DiscoverEntry &reply);
// The same with the acknowledgement sent to ack_to: a device behind a router
// never hears the limited broadcast.
int accept_discover_reply_to(int ack_sock, const unsigned char session_id[2],
                             const DiscoverEntry &reply, in_addr ack_to);
// read_discover_packet that also tells the index of the interface the
// datagram arrived on (0 when unknown; the socket needs IP_PKTINFO set).
int receive_discover_packet(int sock, DiscoverEntry *entry, sockaddr_in *from, int *ifindex);

// A socket bound to the limited broadcast address at sock's port, with
// IP_PKTINFO set, for devices that answer there instead of to sock's own
// address; -1 when sock is bound to the wildcard, which hears them itself,
// or when it cannot be opened.
int open_broadcast_listener(int sock);

// The deadlines of the exchanges, in milliseconds.
constexpr int REPLY_WAIT_MS = 2000; // for the reply to a request, however much else arrives
constexpr int DEFAULT_STALL_TIMEOUT_MS = 30000; // an upload that makes no progress
constexpr int DEFAULT_CONNECT_TIMEOUT_MS = 5000;

// How a setup or install exchange ended, for callers that show more than 0/-1.
enum ExchangeStage {
    STAGE_INPUT,     // nothing sent: no usable MAC, or the image cannot be uploaded
    STAGE_SOCKET,    // the discovery socket could not be opened
    STAGE_NO_REPLY,  // no matching reply before the time-out
    STAGE_REFUSED,   // the device answered with a result other than 2
    STAGE_CONNECT,   // TCP socket or connection to the install port failed
    STAGE_IMAGE,     // the image could not be read
    STAGE_UPLOAD,    // the device did not take the whole image
    STAGE_CANCELLED, // the caller asked to stop
    STAGE_DONE,      // setup accepted, or the whole image taken by the device
};

using InstallProgress = void (*)(void *context, uint64_t sent, uint64_t total);
using StopRequested = bool (*)(void *context);

// What a caller adds to an exchange; all zero behaves as specified, with the
// default deadlines.
struct ExchangeOptions {
    // The address the device's discover reply came from: replies from any
    // other address are ignored. 0.0.0.0 accepts any sender.
    in_addr device;
    // Nonzero: the request goes to device alone instead of the limited
    // broadcast, for a device behind a router (found through a target).
    int unicast;
    uint16_t source_port;         // 0: the system picks the request's port
    int stall_timeout_ms;         // 0: DEFAULT_STALL_TIMEOUT_MS
    int connect_timeout_ms;       // 0: DEFAULT_CONNECT_TIMEOUT_MS
    InstallProgress progress;     // optional; called after every piece sent
    StopRequested stop_requested; // optional; polled at least every 100 ms
    void *context;                // handed to progress and stop_requested
};

struct ExchangeReport {
    ExchangeStage stage;
    int result;          // the device's result code, 0 before a reply
    int error;           // errno of the failing call, 0 when none
    in_addr device;      // source address of the accepted reply
    uint64_t image_size; // install: the size announced in the header
    uint64_t sent;       // install: image bytes handed to the connection
    uint64_t acked;      // install: image bytes the device acknowledged
};

// Setup and install exchanges. The *_report forms take options (null: all
// zero) and fill report (may be null); otherwise they behave like the plain
// forms. No request leaves without a MAC, nor an install request for an
// image that cannot be uploaded. An install succeeds only when the device
// acknowledged every byte and closed the connection without a reset.
int do_setup(const in_addr *local, const ether_addr *mac, const in_addr *ipaddr,
             const in_addr *netmask, int dhcp);
int do_setup_report(const in_addr *local, const ether_addr *mac, const in_addr *ipaddr,
                    const in_addr *netmask, int dhcp, const ExchangeOptions *options,
                    ExchangeReport *report);
int do_install(const in_addr *local, const ether_addr *mac, const char *path);
int do_install_report(const in_addr *local, const ether_addr *mac, const char *path,
                      const ExchangeOptions *options, ExchangeReport *report);
