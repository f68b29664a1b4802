// Probe packets, the Internet checksum and address helpers.
//
// The 84-byte ICMP echo request, IPv4 header included (network order):
//
//   0  ver/ihl 0x45   1 tos 0     2-3 total length 84   4-5 id 0   6-7 frag 0
//   8  ttl 64         9 proto 1   10-11 header checksum (bytes 0-19)
//   12-15 source      16-19 destination
//   20 type 8   21 code 0   22-23 ICMP checksum (bytes 20-83)
//   24-25 identifier 22     26-27 sequence
//   28 group   29 index     30-83 zero
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace echo_pkt {
inline constexpr size_t ip_hdr_len = 20;
inline constexpr size_t icmp_len = 64;
inline constexpr size_t total_len = ip_hdr_len + icmp_len;
static_assert(total_len == 84);
// IPv4 header offsets.
inline constexpr size_t ip_ver_ihl = 0, ip_tos = 1, ip_tot_len = 2, ip_id = 4, ip_frag = 6,
                        ip_ttl = 8, ip_proto = 9, ip_cksum = 10, ip_src = 12, ip_dst = 16;
// ICMP offsets, from the start of the ICMP message (byte 20 of the packet).
inline constexpr size_t icmp_type = 0, icmp_code = 1, icmp_cksum = 2, icmp_id = 4, icmp_seq = 6,
                        icmp_group = 8, icmp_index = 9;
static_assert(ip_dst + 4 == ip_hdr_len && icmp_index + 1 + 54 == icmp_len);
inline constexpr uint8_t ttl = 64;
inline constexpr uint16_t identifier = 22;
}  // namespace echo_pkt

inline constexpr size_t udp_probe_len = 8;  // all-zero UDP probe payload

// RFC 1071 checksum; a length of 0 or less gives 0xffff.
uint16_t in_cksum(const uint8_t *data, int length);

// Writes bytes 0-9 and 12-15 of the IPv4 header.
void prepare_ip_hdr_first_stage(uint8_t *hdr, uint16_t total_length, uint32_t source);
// Writes the destination and the header checksum; returns the checksum.
uint16_t prepare_ip_hdr_second_stage(uint8_t *hdr, uint32_t destination);
// Writes ICMP type 8, code 0 and the identifier; msg points at byte 20.
void prepare_icmp_hdr_first_stage(uint8_t *msg, uint16_t identifier);
// Advances *seq (65535 wraps to 0), writes it and the ICMP checksum over 64
// bytes; returns the checksum.
uint16_t prepare_icmp_hdr_second_stage(uint8_t *msg, uint16_t *seq);

// Fills an IPv4 socket address from dotted text; ends the process with exit
// code 1 on a null address or a text that is not an address.
int net_set_dist_addr(sockaddr_in *addr, const char *text, uint16_t port);

// Writes the dotted text of a host-order address into dst (16 bytes or more);
// returns the number of characters (at most 15).
int sprint_ip(char *dst, uint32_t address);
