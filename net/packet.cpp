#include "net/packet.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "util/bytes.h"

uint16_t in_cksum(const uint8_t *data, int length) {
    int32_t sum = 0;
    int i = 0;
    for (; length - i >= 2; i += 2) {
        sum += load_be16(data + i);
    }
    if (length - i == 1) {
        // The odd byte is the high byte of its word on every host.
        sum += static_cast<int32_t>(data[i]) << 8;
    }
    sum = (sum >> 16) + (sum & 0xffff);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum);
}

void prepare_ip_hdr_first_stage(uint8_t *hdr, uint16_t total_length, uint32_t source) {
    using namespace echo_pkt;
    hdr[ip_ver_ihl] = 0x45;
    hdr[ip_tos] = 0;
    store_be16(hdr + ip_tot_len, total_length);
    store_be16(hdr + ip_id, 0);
    store_be16(hdr + ip_frag, 0);
    hdr[ip_ttl] = ttl;
    hdr[ip_proto] = IPPROTO_ICMP;
    store_be32(hdr + ip_src, source);
}

uint16_t prepare_ip_hdr_second_stage(uint8_t *hdr, uint32_t destination) {
    using namespace echo_pkt;
    store_be32(hdr + ip_dst, destination);
    store_be16(hdr + ip_cksum, 0);
    uint16_t sum = in_cksum(hdr, static_cast<int>(ip_hdr_len));
    store_be16(hdr + ip_cksum, sum);
    return sum;
}

void prepare_icmp_hdr_first_stage(uint8_t *msg, uint16_t identifier) {
    using namespace echo_pkt;
    msg[icmp_type] = 8;
    msg[icmp_code] = 0;
    store_be16(msg + icmp_id, identifier);
}

uint16_t prepare_icmp_hdr_second_stage(uint8_t *msg, uint16_t *seq) {
    using namespace echo_pkt;
    *seq = static_cast<uint16_t>(*seq + 1);
    store_be16(msg + icmp_seq, *seq);
    store_be16(msg + icmp_cksum, 0);
    uint16_t sum = in_cksum(msg, static_cast<int>(icmp_len));
    store_be16(msg + icmp_cksum, sum);
    return sum;
}

// A bad address ends the whole process, deliberately: the management address
// it is given comes from the configuration file, and a daemon that cannot
// bind its probes to it has nothing to watch with.
int net_set_dist_addr(sockaddr_in *addr, const char *text, uint16_t port) {
    if (addr == nullptr) {
        std::perror("sockaddr_in is NULL");
        // NOLINTNEXTLINE(concurrency-mt-unsafe): a bad address ends the process, as said above
        std::exit(1);
    }
    addr->sin_family = AF_INET;
    int r = inet_pton(AF_INET, text, &addr->sin_addr);
    if (r < 0) {
        std::perror("Can't set sin_addr.s_addr");
        // NOLINTNEXTLINE(concurrency-mt-unsafe): a bad address ends the process, as said above
        std::exit(1);
    }
    if (r == 0) {
        std::fprintf(stderr, "%s is not a valid IP address\n", text);
        // NOLINTNEXTLINE(concurrency-mt-unsafe): a bad address ends the process, as said above
        std::exit(1);
    }
    addr->sin_port = htons(port);
    return 0;
}

// Formatted by hand, with the same text as "%d.%d.%d.%d": it runs for every
// probe the send thread sends and every unreachable report, and the standard
// formatter was most of the instructions the daemon itself spent per cycle.
int sprint_ip(char *dst, uint32_t address) {
    char *p = dst;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const uint32_t octet = (address >> shift) & 255u;
        if (octet >= 100) {
            *p++ = static_cast<char>('0' + octet / 100);
        }
        if (octet >= 10) {
            *p++ = static_cast<char>('0' + octet / 10 % 10);
        }
        *p++ = static_cast<char>('0' + octet % 10);
        if (shift != 0) {
            *p++ = '.';
        }
    }
    *p = '\0';
    return static_cast<int>(p - dst);
}
