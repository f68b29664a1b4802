// Status evaluation and the refresh handshake (tick 4 of the send thread).
#pragma once

#include <atomic>
#include <cstdint>

#include "params/cmd_msg.h"
#include "params/params.h"

// Two halves of 11 x 8 status codes (0 silent, 1 echo only, 2 reachable).
// The send thread writes the half that is not published, byte by byte with
// relaxed stores, then publishes it with a release store of entries_index;
// GET_STATUS loads entries_index with acquire and copies that half.
extern uint8_t entries_status[2][tw_groups][tw_group_size];
extern std::atomic<uint32_t> entries_index;  // the published half, 0 or 1
// Group-0 codes last returned by GET_STATUS (first 8 bytes used); the send
// thread sets them to 0xFF after a comparison without difference.
extern uint8_t sent_entries_status[tw_rows];

// The refresh handshake's request and response, owned by the send thread.
// The request lives as long as the process, so its param keeps what the last
// sequence left there; origin, reserved and data past the 88 codes stay zero.
extern cmd_msg_t status_req;
extern cmd_msg_t status_resp;

// One evaluation pass; skipped while reread_params is set.
void check_status();

// Copies the published half (88 bytes) for GET_STATUS and records its first
// 8 bytes in sent_entries_status.
void copy_published_status(uint8_t *out88);
