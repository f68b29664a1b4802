// An in-process stand-in for the controller daemon: listens on a Unix-domain
// socket, reads one 156-byte cmd_msg_t per connection, answers one record whose
// cmd is the status chosen for that command, and records every request.
//
//   keelson_stub k;                                 // "/var/run/keelson.sock"
//   k.set_status(407, -5);                          // 407 is answered with -5
//   k.set_reply(382, {.how = keelson_reply::kind::close});  // no answer
//   ... code under test calls cmd_send_recv / daemon_log ...
//   ASSERT_TRUE(k.wait_for(2, std::chrono::seconds(5)));
//   std::vector<keelson_request> got = k.requests();  // in arrival order
//   EXPECT_EQ(got[0].text(), "...\n\r");
//
// Connections are served one after another by one thread; a connection on
// which fewer than 156 bytes arrived (for instance none while a re-read is
// pending) is recorded too, with its byte count in `bytes`.  The destructor
// stops the thread and removes the socket file.  Test and tool code: it uses
// the heap and threads freely.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "params/cmd_msg.h"

// One received record, decoded.  Fields past `bytes` are zero.
struct keelson_request {
    std::chrono::system_clock::time_point time;  // when the record was read
    size_t bytes = 0;                            // bytes received on the connection (156 if whole)
    int32_t cmd = 0;
    int32_t param = 0;
    std::string origin;  // up to the first NUL of the 8-byte field
    std::array<uint8_t, 8> reserved{};
    int32_t pid = 0;
    std::array<uint8_t, 128> data{};
    std::array<uint8_t, cmd_msg_len> raw{};  // the bytes as they arrived

    bool whole() const { return bytes == cmd_msg_len; }
    // data up to its first NUL (a log record's line).
    std::string text() const;
};

// How the stand-in answers one command.
struct keelson_reply {
    enum class kind {
        answer,        // one whole record whose cmd is `status`
        close,         // read the request, close without writing
        short_answer,  // write only the first `short_len` bytes of the answer (up to 312:
                       // zeros follow the record, an answer too long)
    };
    kind how = kind::answer;
    int32_t status = 0;
    size_t short_len = 10;
    std::chrono::milliseconds delay{0};  // wait this long before answering (or closing)
};

// Replies and observer in place before the first connection can arrive.
struct keelson_stub_setup {
    std::map<int32_t, keelson_reply> replies;
    keelson_reply default_reply;
    std::function<void(const keelson_request &)> observer;
};

class keelson_stub {
   public:
    // Removes a stale file at path, binds and listens, then serves in its own
    // thread.  Ends the process, with the reason on standard error, when
    // the socket can't be set up.
    explicit keelson_stub(std::string path = keelson_sock_path);
    keelson_stub(std::string path, keelson_stub_setup setup);
    ~keelson_stub();
    keelson_stub(const keelson_stub &) = delete;
    keelson_stub &operator=(const keelson_stub &) = delete;

    const std::string &path() const { return path_; }

    // Reply for one command code; the default reply covers every other code.
    void set_reply(int32_t cmd, const keelson_reply &reply);
    void set_default_reply(const keelson_reply &reply);
    // Shorthand: answer cmd with this status.
    void set_status(int32_t cmd, int32_t status);
    // Back to answering every command with status 0.
    void reset_replies();

    // Called in the serving thread for every recorded request, after it is
    // recorded and before it is answered.
    void set_observer(std::function<void(const keelson_request &)> observer);

    // Records so far, in arrival order; their count; forget them.
    std::vector<keelson_request> requests() const;
    size_t count() const;
    void clear();
    // Waits until at least n records are there or limit passes.
    bool wait_for(size_t n, std::chrono::milliseconds limit) const;

   private:
    void serve();
    void handle(int fd);
    keelson_reply reply_for(int32_t cmd) const;
    bool pause(std::chrono::milliseconds d);  // false when stopping

    std::string path_;
    int listen_fd_ = -1;
    int wake_rd_ = -1;  // self-pipe that wakes the serving thread for the stop
    int wake_wr_ = -1;

    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<keelson_request> requests_;
    std::map<int32_t, keelson_reply> replies_;
    keelson_reply default_reply_;
    std::function<void(const keelson_request &)> observer_;
    bool serving_ = false;  // the thread is past its start-up (under mu_)

    std::thread thread_;
};

// Decodes the first n bytes of a record (n <= 156); the rest reads as zero.
keelson_request keelson_decode(const uint8_t *buf, size_t n);
