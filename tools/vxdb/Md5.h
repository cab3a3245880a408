// MD5 message digest (RFC 1321) for the PC tools: the tool's own copy, so
// that checking a backup does not trust the code that made it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vxdb {

using Digest = std::array<uint8_t, 16>;

class Md5 {
public:
  Md5();
  void Update(const void *data, size_t length);
  Digest Final();

private:
  void Transform(const uint8_t *block);
  uint32_t state_[4];
  uint64_t length_ = 0;
  uint8_t block_[64];
};

std::string ToHex(const Digest &digest);
bool IsZero(const Digest &digest);

}  // namespace vxdb
