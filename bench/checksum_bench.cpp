// Throughput of the plug-in's MD5 and CRC against OpenSSL's MD5, on buffers
// of the sizes a file digest feeds in.
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <vector>

#include "checksum/CRC32.h"
#include "checksum/Md5.h"

namespace {

std::vector<unsigned char> Data(size_t n)
{
  std::vector<unsigned char> d(n);
  uint32_t x = 12345;
  for (auto &b : d)
    b = (unsigned char)((x = x * 1103515245u + 12345u) >> 24);
  return d;
}

void BM_VaultrixMD5(benchmark::State &state)
{
  auto d = Data((size_t)state.range(0));
  MD5Context c;
  for (auto _ : state) {
    MD5Init(&c);
    MD5Update(&c, d.data(), (dword)d.size());
    MD5Final(&c);
    benchmark::DoNotOptimize(c.digest);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// The low-level interface: OpenSSL's assembler core without EVP's overhead.
void BM_OpenSSLMD5(benchmark::State &state)
{
  auto d = Data((size_t)state.range(0));
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5_CTX c;
  for (auto _ : state) {
    MD5_Init(&c);
    MD5_Update(&c, d.data(), d.size());
    MD5_Final(digest, &c);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
#pragma GCC diagnostic pop

void BM_VaultrixCRC32(benchmark::State &state)
{
  auto d = Data((size_t)state.range(0));
  for (auto _ : state) {
    dword crc = CRC32(0, d.data(), (dword)d.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_VaultrixMD5)->Arg(1 << 10)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_OpenSSLMD5)->Arg(1 << 10)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_VaultrixCRC32)->Arg(1 << 10)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_MAIN();
