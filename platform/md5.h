#pragma once
// MD5 (RFC 1321).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(Md5&&) noexcept;
  Md5& operator=(Md5&&) noexcept;
  void Update(const void* data, std::size_t size);
  std::array<std::uint8_t, 16> Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// 32 lowercase hexadecimal digits.
std::string HexDigest(const std::array<std::uint8_t, 16>& digest);
std::string HexMd5(const void* data, std::size_t size);

}  // namespace platform
