#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "packages/rc_core/BaseClass.h"
#include "packages/rc_core/pngData.h"
#include "packages/rc_core/synced.h"
#include "platform/testing/TestSupport.h"

namespace rc_core {
namespace {

class Owner : public BaseNSObject {
 public:
  void Dispose(const void* caller) override {
    released = true;
    BaseNSObject::Dispose(caller);
  }
  bool released = false;
};

TEST(BaseClass, DisposeRunsTheOverrideThenTheBaseAndLeavesTheObjectUsable) {
  auto o = std::make_shared<Owner>();
  o->init();
  EXPECT_FALSE(o->isDisposed());
  o->Dispose(nullptr);
  EXPECT_TRUE(o->released);
  EXPECT_TRUE(o->isDisposed());
  EXPECT_EQ(o->selfName(), "Owner");
  EXPECT_EQ(o->mirrors(), (std::vector<std::string>{"Owner", "BaseNSObject", "BaseClass"}));
}

TEST(Synced, ReentersOnTheSameThreadAndReturnsTheValue) {
  int object = 0;
  int depth = synced(&object, [&] { return synced(&object, [] { return 2; }) + 1; });
  EXPECT_EQ(depth, 3);
}

// One thread holds the lock and waits at a barrier the other thread has passed; the other
// thread then tries to enter. It must not get in before the holder leaves.
TEST(Synced, ExcludesOtherThreadsUntilTheHolderLeaves) {
  int object = 0;
  std::barrier sync(2);
  std::atomic<bool> holderInside{false};
  std::atomic<bool> intruderSawHolder{false};
  std::thread holder([&] {
    synced(&object, [&] {
      holderInside = true;
      sync.arrive_and_wait();  // the intruder starts trying now
      // Give the intruder every chance to (wrongly) get in; it would set the flag if it did.
      for (int i = 0; i < 1000; ++i) std::this_thread::yield();
      holderInside = false;
    });
  });
  std::thread intruder([&] {
    sync.arrive_and_wait();
    synced(&object, [&] { intruderSawHolder = holderInside.load(); });
  });
  holder.join();
  intruder.join();
  EXPECT_FALSE(intruderSawHolder);
}

TEST(Synced, DifferentObjectsDoNotBlockEachOther) {
  int a = 0, b = 0;
  std::barrier both(2);
  std::thread t([&] { synced(&b, [&] { both.arrive_and_wait(); }); });
  // Holding a's lock while t holds b's: both reach the barrier, so neither blocks the other.
  synced(&a, [&] { both.arrive_and_wait(); });
  t.join();
  SUCCEED();
}

desktop::NSImage SolidImage(int w, int h, uint8_t b, uint8_t g, uint8_t r, uint8_t a) {
  auto bitmap = desktop::CGImage::Allocate(w, h);
  for (int i = 0; i < w * h; ++i) {
    uint8_t* p = bitmap->mutableData() + i * 4;
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = a;
  }
  return {bitmap, {double(w), double(h)}};
}

TEST(PngData, RedrawsAtTheRequestedSizeWithStraightColours) {
  auto image = SolidImage(64, 48, /*b*/ 10, /*g*/ 20, /*r*/ 200, /*a*/ 128);
  auto png = pngData(image, {32, 24}, NSImageInterpolation::kHigh);
  ASSERT_TRUE(png.has_value());
  auto decoded = rctest::DecodePng(*png);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(decoded->width, 32);
  ASSERT_EQ(decoded->height, 24);
  EXPECT_EQ(decoded->rgba[0], 200);  // R
  EXPECT_EQ(decoded->rgba[1], 20);   // G
  EXPECT_EQ(decoded->rgba[2], 10);   // B
  EXPECT_EQ(decoded->rgba[3], 128);  // A, unchanged by the redraw
}

TEST(PngData, GivesNothingForEmptyImagesOrSizes) {
  EXPECT_FALSE(pngData({nullptr, {16, 16}}, {16, 16}, NSImageInterpolation::kHigh));
  EXPECT_FALSE(
      pngData({desktop::CGImage::Allocate(0, 0), {0, 0}}, {16, 16}, NSImageInterpolation::kHigh));
  auto image = SolidImage(8, 8, 0, 0, 0, 255);
  EXPECT_FALSE(pngData(image, {0, 8}, NSImageInterpolation::kHigh));
  EXPECT_FALSE(pngData(image, {8, 0.5}, NSImageInterpolation::kHigh));
  EXPECT_TRUE(pngData(image, {1, 1}, NSImageInterpolation::kNone));
}

}  // namespace
}  // namespace rc_core
