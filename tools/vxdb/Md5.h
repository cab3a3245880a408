// MD5 message digest (RFC 1321) for the PC tool, from OpenSSL's libcrypto,
// so that checking a backup does not trust the code that made it. A build
// without libcrypto for its target (the recorder build, whose copy of the tool
// only serves the tests) uses the tool's own implementation instead.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vxdb {

using Digest = std::array<uint8_t, 16>;

class Md5 {
public:
  Md5();
  ~Md5();
  Md5(const Md5 &) = delete;
  Md5 &operator=(const Md5 &) = delete;
  void Update(const void *data, size_t length);
  Digest Final();

private:
  struct State;
  std::unique_ptr<State> s_;
};

std::string ToHex(const Digest &digest);
bool IsZero(const Digest &digest);

}  // namespace vxdb
