// What tests of every kind need: a bounded wait for a condition, a PNG decoder to check what the
// code under test wrote, and a temporary directory that removes itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rctest {

// Polls `condition` every 2 ms until it holds or `seconds` pass; returns its last value. The
// bound only ends a test that would otherwise hang: make it generous.
bool WaitUntil(const std::function<bool()>& condition, double seconds = 20);

// The whole of a file (empty when it cannot be read).
std::string ReadFile(const std::string& path);

// A PNG decoded in full with libpng into straight RGBA rows; none when it does not decode.
struct DecodedPng {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
};
std::optional<DecodedPng> DecodePng(std::span<const uint8_t> bytes);

// A fresh directory in the system's temporary directory, removed with its contents at the end.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "rctest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace rctest
