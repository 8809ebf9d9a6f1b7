// Helpers every kind of test needs: a bounded wait for a condition, a PNG decoder that checks
// what the code under test wrote, and a temporary directory that removes itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rctest {

// Polls `condition` every 2 ms until it holds or `seconds` pass; the result is the condition's
// last value. The bound only ends a test that would otherwise hang, so make it generous.
bool WaitUntil(const std::function<bool()>& condition, double seconds = 20);

// A PNG decoded in full with libpng, as straight RGBA rows; none when it does not decode.
struct DecodedPng {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
};
std::optional<DecodedPng> DecodePng(std::span<const uint8_t> bytes);

// A fresh directory below the system's temporary directory, removed with all it holds when the
// object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "rctest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `path()` + "/" + `name`.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace rctest
