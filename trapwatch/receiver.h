// The reply receiver: echo replies and destination-unreachable reports.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "params/params.h"

inline constexpr int recv_buf_len = 2048;

extern char prnt_ip[16];

// 1 once the receive thread no longer uses its socket (it has left its
// receive loop, or its set-up failed).  Stored with release; the stop waits
// for it before closing a socket it took out of recv_sock, so that the close
// never overlaps a receive still under way on that descriptor.
extern std::atomic<int> recv_sock_released;  // dotted text of a reported address, for the trace

// Thread body: 0 after an orderly end, -116 / -117 when set-up failed; the
// same value is stored in recv_thread_status.
int recv_thread();

// First row (table order) with this address and port, or nullptr.
entry_t *look_for_entry(uint32_t ip, uint16_t port);

// Handles one received packet.  buf holds recv_buf_len bytes, zero past what
// was received; received is the receive's result (not examined beyond that).
void recv_handle_packet(const uint8_t *buf, ssize_t received);
