#include "platform/md5.h"

#include <openssl/evp.h>

#include <new>

namespace platform {

struct Md5::State {
  EVP_MD_CTX* ctx = nullptr;
  ~State() { EVP_MD_CTX_free(ctx); }
};

Md5::Md5() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (state_->ctx == nullptr || EVP_DigestInit_ex(state_->ctx, EVP_md5(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

Md5::~Md5() = default;
Md5::Md5(Md5&&) noexcept = default;
Md5& Md5::operator=(Md5&&) noexcept = default;

void Md5::Update(const void* data, std::size_t size) {
  if (size != 0) EVP_DigestUpdate(state_->ctx, data, size);
}

std::array<std::uint8_t, 16> Md5::Final() {
  std::array<std::uint8_t, 16> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->ctx, digest.data(), &length);
  return digest;
}

std::string HexDigest(const std::array<std::uint8_t, 16>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(32, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return hex;
}

std::string HexMd5(const void* data, std::size_t size) {
  Md5 md5;
  md5.Update(data, size);
  return HexDigest(md5.Final());
}

}  // namespace platform
