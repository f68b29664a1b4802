// The send thread: the five one-second steps of the monitor cycle.
#pragma once

// Thread body: 0 after an orderly end, -116 / -117 when set-up failed; the
// same value is stored in send_thread_status.
int send_thread();
