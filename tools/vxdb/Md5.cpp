#include "Md5.h"

#ifndef VXDB_OWN_MD5
#include <openssl/evp.h>
#include <stdexcept>
#endif

namespace vxdb {

#ifndef VXDB_OWN_MD5
struct Md5::State {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(ctx); }
};

Md5::Md5() : s_(std::make_unique<State>())
{
  if (!s_->ctx || EVP_DigestInit_ex(s_->ctx, EVP_md5(), nullptr) != 1)
    throw std::runtime_error("libcrypto offers no MD5");
}

Md5::~Md5() = default;

void Md5::Update(const void *data, size_t length) { EVP_DigestUpdate(s_->ctx, data, length); }

Digest Md5::Final()
{
  Digest out{};
  unsigned int n = 0;
  EVP_DigestFinal_ex(s_->ctx, out.data(), &n);
  return out;
}
#endif

std::string ToHex(const Digest &digest)
{
  static const char hex[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : digest) {
    s += hex[b >> 4];
    s += hex[b & 15];
  }
  return s;
}

bool IsZero(const Digest &digest)
{
  for (uint8_t b : digest)
    if (b)
      return false;
  return true;
}

}  // namespace vxdb
