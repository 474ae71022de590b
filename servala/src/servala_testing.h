// Shared by the servala tests: files written for a test, and an Asio loop run from the test's
// own thread while a client does its part on another.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>

namespace servala::testing {

inline void WriteFile(const std::filesystem::path& p, const std::string& text) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// Runs `io` until `done` holds; false once a generous safety limit has passed.
template <class Pred>
bool RunUntil(asio::io_context& io, Pred done) {
  using namespace std::chrono_literals;
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    if (io.stopped()) io.restart();
    io.run_for(2ms);
  }
  return true;
}

// Runs `work` on a thread of its own while `io` runs here, and gives its result.
template <class F>
auto Drive(asio::io_context& io, F work) {
  using namespace std::chrono_literals;
  auto f = std::async(std::launch::async, std::move(work));
  RunUntil(io, [&] { return f.wait_for(0s) == std::future_status::ready; });
  return f.get();
}

}  // namespace servala::testing
