#pragma once
// Certificates made for one test run: a test CA and leaves signed by it (valid, expired,
// for another name), plus a self-signed one. EC P-256 keys, so making them is quick.
#include <memory>
#include <string>
#include <vector>

#include "tests/net/loopback_server.h"

namespace orvo::test {

class TestPki {
 public:
  TestPki();
  ~TestPki();
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  const std::string& caPem() const { return caPem_; }
  // A leaf for the names, valid from now + notBeforeDays to now + notAfterDays.
  TlsIdentity Leaf(const std::vector<std::string>& names, int notBeforeDays = -1, int notAfterDays = 30) const;
  static TlsIdentity SelfSigned(const std::string& name);

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
  std::string caPem_;
};

}  // namespace orvo::test
