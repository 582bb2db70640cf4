// Fixture of the tests written as Win32 programs: a freshly booted machine
// per test, test ports to open, and at the end the process's handles
// closed, the ports removed and the system shut down; any rule the
// verifier caught that the test did not take fails it.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>

#include "support/rule_ledger.h"

#include <memory>
#include <string>
#include <vector>

#include "user/host/win32_host.h"
#include "user/test_port.h"

namespace zt::win32 {

using user::PortAnswer;
using user::PortRequest;
using user::TestPort;

class Win32Test : public ::testing::Test {
 protected:
  void SetUp() override { machine_ = std::make_unique<emu::win32::Machine>(); }

  void TearDown() override {
    machine_->EndProcess();
    ports_.clear();
    machine_->Shutdown();
    const auto left = machine_->TakeViolations();
    std::string described;
    for (const auto& v : left) described += v + "\n";
    EXPECT_TRUE(left.empty()) << "the verifier caught:\n" << described;
    machine_.reset();
  }

  emu::win32::Machine& Machine() { return *machine_; }

  TestPort& AddPort(const std::string& device, const std::string& link) {
    ports_.push_back(std::make_unique<TestPort>(device, link));
    return *ports_.back();
  }

  static HANDLE Open(const char* name, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD flags = 0) {
    return CreateFileA(name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }

  // True when the rule was caught. Takes every recorded break; one of
  // another rule fails the test, so no break goes unseen.
  bool Caught(const std::string& rule) {
    bool found = false;
    for (const auto& v : machine_->TakeViolations()) {
      if (v.rfind(rule + ":", 0) == 0) {
        found = true;
      } else {
        ADD_FAILURE() << "the verifier also caught " << v;
      }
    }
    if (found) zt::RuleLedger::Proved(rule);
    return found;
  }

 private:
  std::unique_ptr<emu::win32::Machine> machine_;
  std::vector<std::unique_ptr<TestPort>> ports_;
};

inline PortAnswer Reply(int32_t status, uint64_t information = 0, std::vector<uint8_t> output = {}) {
  PortAnswer answer;
  answer.status = status;
  answer.information = information;
  answer.output = std::move(output);
  return answer;
}

inline std::vector<uint8_t> Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

}  // namespace zt::win32
