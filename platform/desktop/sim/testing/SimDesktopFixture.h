// Installs a fresh simulated desktop for each test and restores the previous one afterwards.
#pragma once

#include <gtest/gtest.h>

#include "platform/desktop/Desktop.h"
#include "platform/desktop/sim/SimDesktop.h"

namespace desktop::sim::testing {

class ScopedSimDesktop {
 public:
  ScopedSimDesktop() : sim_(SimDesktop::Create()) { previous_ = InstallDesktop(sim_->AsDesktop()); }
  ~ScopedSimDesktop() { InstallDesktop(previous_); }
  SimDesktop& operator*() { return *sim_; }
  SimDesktop* operator->() { return sim_.get(); }
  std::shared_ptr<SimDesktop> get() { return sim_; }

 private:
  std::shared_ptr<SimDesktop> sim_;
  std::shared_ptr<const Desktop> previous_;
};

class SimDesktopTest : public ::testing::Test {
 protected:
  ScopedSimDesktop sim;
};

}  // namespace desktop::sim::testing
