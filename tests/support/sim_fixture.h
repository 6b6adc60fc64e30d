#pragma once
// Tests against the simulated instrument: every test gets a fresh instrument with
// its access logs on, installed as the platform that Axi and Gpio reach. Assert
// through the model (access log, model state, lines), not by reading back through
// the driver under test.
#include <gtest/gtest.h>

#include <memory>

#include "sim/instrument.h"

namespace support {

// Builds a new instrument (every block model), turns recording on and installs it.
std::shared_ptr<sim::Instrument> install_sim();

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim_ = install_sim(); }

  sim::Instrument& sim() { return *sim_; }

  std::shared_ptr<sim::Instrument> sim_;
};

}  // namespace support
