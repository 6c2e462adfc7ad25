// Waiting in tests for something another thread or process does: polls pred
// every 2 ms of real time until it holds or timeout_ms have passed, and
// returns its last answer.
#pragma once

#include <chrono>
#include <thread>

namespace kelva::test {

template <typename Pred>
bool Eventually(Pred pred, int timeout_ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return pred();
}

}  // namespace kelva::test
