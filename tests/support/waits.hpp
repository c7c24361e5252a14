// The test programs' time-outs: short (their settings unit is made with SHORT_WAITS), so a test that
// waits for a time-out waits seconds. The one test per time-out that checks the product's value holds
// ProductWaits while it runs.
#pragma once

#include "build_config.hpp"

namespace tess::build {
Waits& testWaits();
} // namespace tess::build

namespace tess::test {

class ProductWaits {
  public:
    ProductWaits() : saved_(build::testWaits()) { build::testWaits() = build::productWaits; }
    ~ProductWaits() { build::testWaits() = saved_; }
    ProductWaits(const ProductWaits&) = delete;
    ProductWaits& operator=(const ProductWaits&) = delete;

  private:
    build::Waits saved_;
};

} // namespace tess::test
