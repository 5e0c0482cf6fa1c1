// Every hostile test runs against a real exchange on loopback with one well-behaved call talking through it
// the whole time: whatever the attack, that call must keep its voice flowing and the exchange must end up
// with no connection left open but its own.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "attacker.h"
#include "exchange_on_loop.h"

namespace exchange::testing {

// Limits small enough for a test to reach them quickly.
constexpr int kPerSourceConnections = 8;
constexpr int kQueriesPerMinute = 20;
constexpr uint64_t kAddressTimeoutMs = 1000;
constexpr size_t kGarbageAllowance = 4096;
// Generous bounds: they only fail when something is stuck, never because the machine is busy.
constexpr int kPatienceMs = 10000;

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ExchangeConfig config;
    config.address_port = 0;
    config.phone_base_port = 0;  // a free block
    config.address_timeout_ms = kAddressTimeoutMs;
    config.limits.connections_per_source = kPerSourceConnections;
    config.limits.queries_per_source_per_minute = kQueriesPerMinute;
    config.call.max_garbage_bytes = kGarbageAllowance;
    config.dial_plan.AddExtension("3381", DialRoute{"echo", "0"});
    std::string error;
    ASSERT_TRUE(exchange_.Start(std::move(config), &error)) << error;
    base_ = exchange_.phone_base_port();
    good_ = std::make_unique<GoodCall>(base_, "3381");
    ASSERT_TRUE(good_->Open(&error)) << error;
    good_->Talk();
    ASSERT_TRUE(good_->WaitEchoes(10, kPatienceMs)) << exchange_.RecentEvents();
  }

  void TearDown() override {
    if (good_ == nullptr) return;
    // The call that was there all along still talks and hears only itself.
    EXPECT_TRUE(good_->WaitEchoes(20, kPatienceMs)) << exchange_.RecentEvents();
    EXPECT_EQ(good_->foreign(), 0);
    good_->HangUp();
    EXPECT_TRUE(WaitFor([&] { return exchange_.open_connections() == 0; }))
        << exchange_.open_connections() << " connections still open\n"
        << exchange_.RecentEvents();
    exchange_.Stop();
  }

  template <typename Condition>
  static bool WaitFor(Condition done, int timeout_ms = kPatienceMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  int TcpPort(int channel) const { return base_ + 2 * channel; }
  int UdpPort(int channel) const { return base_ + 2 * channel + 1; }
  // A channel the good call does not hold.
  int FreeChannel() const { return good_->channel() == 3 ? 2 : 3; }

  ExchangeOnLoop exchange_;
  int base_ = 0;
  std::unique_ptr<GoodCall> good_;
};

}  // namespace exchange::testing
