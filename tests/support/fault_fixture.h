// The fixture of the fault tests: a clean world with the receiver network up
// and, unless a test brings its own, a controller stand-in.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

#include "tests/support/daemon_harness.h"
#include "tests/support/fault_world.h"
#include "tests/support/sandbox.h"
#include "tools/keelson_stub.h"

namespace tw_fault {

class world_test : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { tw_test::become_subreaper(); }
    void SetUp() override {
        ASSERT_TRUE(tw_test::in_sandbox());
        tw_test::clean_world();
        ASSERT_TRUE(net_up());
        if (start_keelson) {
            keelson = std::make_unique<keelson_stub>();
        }
    }
    void TearDown() override {
        tw_test::clean_world();
        keelson.reset();
        net_down();
    }
    // First requests (382) of refresh sequences the controller has seen.
    size_t refresh_records() const {
        size_t n = 0;
        if (keelson) {
            for (const auto &r : keelson->requests()) {
                n += r.cmd == 382 ? 1 : 0;
            }
        }
        return n;
    }

    bool start_keelson = true;  // false: the test starts its own controller
    std::unique_ptr<keelson_stub> keelson;
};

}  // namespace tw_fault
