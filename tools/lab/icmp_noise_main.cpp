// icmp-noise: sends COUNT malformed and foreign ICMP packets to the management
// address 192.0.2.1 from the network namespace it runs in, for the tests and
// the soak (ip netns exec NS icmp-noise COUNT [--rate N]).  The mix: types the
// daemon ignores, truncated messages, echo replies with a foreign identifier,
// with group or index out of range or with a long-gone sequence number, and
// unreachable reports about another protocol, another port or an unknown
// address.  None of them may change a configured receiver's code.  The mix is
// a fixed sequence, so that a failure can be replayed.  --rate N: N packets a
// second; by default as fast as the link's queue takes them.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/packet.h"
#include "tools/number.h"
#include "util/bytes.h"

namespace {

constexpr uint32_t mgmt = 0xC0000201;      // 192.0.2.1
constexpr uint32_t receiver = 0xC000020A;  // 192.0.2.10, a configured receiver
constexpr uint32_t refused = 0xC000020B;   // 192.0.2.11, another one
constexpr size_t ip_len = echo_pkt::ip_hdr_len;

// A 20-byte IPv4 header; the kernel fills in the length and checksum of a raw send.
void ip_header(uint8_t *p, uint32_t src, uint32_t dst, uint8_t proto, size_t total) {
    std::memset(p, 0, ip_len);
    p[echo_pkt::ip_ver_ihl] = 0x45;
    store_be16(p + echo_pkt::ip_tot_len, static_cast<uint16_t>(total));
    p[echo_pkt::ip_ttl] = echo_pkt::ttl;
    p[echo_pkt::ip_proto] = proto;
    store_be32(p + echo_pkt::ip_src, src);
    store_be32(p + echo_pkt::ip_dst, dst);
}

// Packet i of the mix into out (128 bytes or more); its length.
size_t noise_packet(uint32_t i, uint8_t *out) {
    uint32_t x = i * 2654435761u + 12345u;  // xorshift, seeded by i
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    const uint32_t src = next() % 2 == 0 ? 0xC6336400u + next() % 250 + 1 : refused;
    uint8_t *icmp = out + ip_len;
    size_t len = echo_pkt::icmp_len;
    std::memset(icmp, 0, 108);
    switch (i % 8) {
        case 0:  // a type the daemon ignores, random bytes
            icmp[0] = static_cast<uint8_t>(next());
            icmp[0] = icmp[0] == 0 || icmp[0] == 3 ? 8 : icmp[0];
            len = 4 + next() % 60;
            for (size_t k = 1; k < len; ++k) {
                icmp[k] = static_cast<uint8_t>(next());
            }
            break;
        case 1:  // an echo reply or a report cut short
            icmp[0] = next() % 2 == 0 ? 0 : 3;
            len = 1 + next() % 7;
            break;
        case 2:  // an echo reply with a foreign identifier
            store_be16(icmp + echo_pkt::icmp_id, static_cast<uint16_t>(21 + next() % 2 * 2));
            store_be16(icmp + echo_pkt::icmp_seq, static_cast<uint16_t>(next()));
            break;
        case 3:  // ours, with group or index out of range
            store_be16(icmp + echo_pkt::icmp_id, echo_pkt::identifier);
            store_be16(icmp + echo_pkt::icmp_seq, static_cast<uint16_t>(next()));
            icmp[echo_pkt::icmp_group] = static_cast<uint8_t>(11 + next() % 245);
            icmp[echo_pkt::icmp_index] = static_cast<uint8_t>(next());
            break;
        case 4:  // ours, a configured row, a sequence number long gone
            store_be16(icmp + echo_pkt::icmp_id, echo_pkt::identifier);
            store_be16(icmp + echo_pkt::icmp_seq, static_cast<uint16_t>(40000 + next() % 20000));
            icmp[echo_pkt::icmp_index] = static_cast<uint8_t>(next() % 4);
            break;
        default: {  // port unreachable about TCP, another port, or another address
            icmp[0] = 3;
            icmp[1] = static_cast<uint8_t>(next() % 16);
            const uint32_t dst = i % 8 == 7 ? 0xCB007100u + next() % 250 + 1 : receiver;
            ip_header(icmp + 8, mgmt, dst, i % 8 == 5 ? IPPROTO_TCP : IPPROTO_UDP, 28);
            store_be16(icmp + 28, 40000);
            store_be16(icmp + 30, static_cast<uint16_t>(i % 8 == 7 ? 162 : 163 + next() % 1000));
            len = 36;
        }
    }
    if (len >= 4) {
        store_be16(icmp + echo_pkt::icmp_cksum, in_cksum(icmp, static_cast<int>(len)));
    }
    ip_header(out, src, mgmt, IPPROTO_ICMP, ip_len + len);
    return ip_len + len;
}

}  // namespace

int main(int argc, char **argv) {
    long count = 0;
    long rate = 0;
    const bool counted = argc > 1 && read_number(argv[1], 1, LONG_MAX, &count);
    const bool rated = argc == 4 && std::strcmp(argv[2], "--rate") == 0 &&
                       read_number(argv[3], 1, LONG_MAX, &rate);
    if (!counted || (argc != 2 && !rated)) {
        std::fprintf(stderr, "usage: icmp-noise COUNT [--rate N]\n");
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd < 0) {
        std::perror("icmp-noise: socket");
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(mgmt);
    uint8_t pkt[128];
    long sent = 0;
    for (long i = 0; i < count; ++i) {
        const size_t n = noise_packet(static_cast<uint32_t>(i), pkt);
        const auto *addr = reinterpret_cast<const sockaddr *>(&to);
        sent += sendto(fd, pkt, n, 0, addr, sizeof to) == static_cast<ssize_t>(n) ? 1 : 0;
        if (rate > 0) {
            usleep(static_cast<useconds_t>(1000000 / rate));
        } else if (i % 1000 == 999) {
            usleep(2000);  // the veth queue is short
        }
    }
    close(fd);
    std::printf("icmp-noise: %ld of %ld sent\n", sent, count);
    return sent * 100 >= count * 99 ? 0 : 1;
}
