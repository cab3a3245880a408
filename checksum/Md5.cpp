/* MD5 message digest, RFC 1321 (the reference algorithm, restated). */
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Md5.h"

static const byte PADDING[64] = {0x80};

static inline dword Load32(const byte *p)
{
  return (dword)p[0] | (dword)p[1] << 8 | (dword)p[2] << 16 | (dword)p[3] << 24;
}

static inline void Store32(byte *p, dword v)
{
  p[0] = (byte)v;
  p[1] = (byte)(v >> 8);
  p[2] = (byte)(v >> 16);
  p[3] = (byte)(v >> 24);
}

static inline dword Rotl(dword x, int n)
{
  return x << n | x >> (32 - n);
}

/* The round functions in forms with one operation fewer on the path from
 * the previous step's result (b); equal to RFC 1321's for every input. */
#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define H(x, y, z) ((x) ^ ((y) ^ (z)))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
/* The word and the constant go into a first, while b is still coming. */
#define STEP(f, a, b, c, d, x, s, ac) \
  do { \
    (a) += (x) + (dword)(ac); \
    (a) += f((b), (c), (d)); \
    (a) = Rotl((a), (s)) + (b); \
  } while (0)
/* G's two halves share no bit, so they may be added: the half without b
 * first. */
#define STEPG(a, b, c, d, x, s, ac) \
  do { \
    (a) += (x) + (dword)(ac) + ((c) & ~(d)); \
    (a) += (b) & (d); \
    (a) = Rotl((a), (s)) + (b); \
  } while (0)

static void Transform(dword state[4], const byte block[64])
{
  dword a = state[0], b = state[1], c = state[2], d = state[3], x[16];
  for (int i = 0; i < 16; i++)
    x[i] = Load32(block + 4 * i);

  STEP(F, a, b, c, d, x[0], 7, 0xd76aa478);
  STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756);
  STEP(F, c, d, a, b, x[2], 17, 0x242070db);
  STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee);
  STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf);
  STEP(F, d, a, b, c, x[5], 12, 0x4787c62a);
  STEP(F, c, d, a, b, x[6], 17, 0xa8304613);
  STEP(F, b, c, d, a, x[7], 22, 0xfd469501);
  STEP(F, a, b, c, d, x[8], 7, 0x698098d8);
  STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af);
  STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
  STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
  STEP(F, a, b, c, d, x[12], 7, 0x6b901122);
  STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
  STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
  STEP(F, b, c, d, a, x[15], 22, 0x49b40821);

  STEPG(a, b, c, d, x[1], 5, 0xf61e2562);
  STEPG(d, a, b, c, x[6], 9, 0xc040b340);
  STEPG(c, d, a, b, x[11], 14, 0x265e5a51);
  STEPG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  STEPG(a, b, c, d, x[5], 5, 0xd62f105d);
  STEPG(d, a, b, c, x[10], 9, 0x02441453);
  STEPG(c, d, a, b, x[15], 14, 0xd8a1e681);
  STEPG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  STEPG(a, b, c, d, x[9], 5, 0x21e1cde6);
  STEPG(d, a, b, c, x[14], 9, 0xc33707d6);
  STEPG(c, d, a, b, x[3], 14, 0xf4d50d87);
  STEPG(b, c, d, a, x[8], 20, 0x455a14ed);
  STEPG(a, b, c, d, x[13], 5, 0xa9e3e905);
  STEPG(d, a, b, c, x[2], 9, 0xfcefa3f8);
  STEPG(c, d, a, b, x[7], 14, 0x676f02d9);
  STEPG(b, c, d, a, x[12], 20, 0x8d2a4c8a);

  STEP(H, a, b, c, d, x[5], 4, 0xfffa3942);
  STEP(H, d, a, b, c, x[8], 11, 0x8771f681);
  STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
  STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
  STEP(H, a, b, c, d, x[1], 4, 0xa4beea44);
  STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9);
  STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60);
  STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
  STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6);
  STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa);
  STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085);
  STEP(H, b, c, d, a, x[6], 23, 0x04881d05);
  STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039);
  STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
  STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
  STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665);

  STEP(I, a, b, c, d, x[0], 6, 0xf4292244);
  STEP(I, d, a, b, c, x[7], 10, 0x432aff97);
  STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
  STEP(I, b, c, d, a, x[5], 21, 0xfc93a039);
  STEP(I, a, b, c, d, x[12], 6, 0x655b59c3);
  STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92);
  STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
  STEP(I, b, c, d, a, x[1], 21, 0x85845dd1);
  STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f);
  STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
  STEP(I, c, d, a, b, x[6], 15, 0xa3014314);
  STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
  STEP(I, a, b, c, d, x[4], 6, 0xf7537e82);
  STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
  STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
  STEP(I, b, c, d, a, x[9], 21, 0xeb86d391);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void MD5Init(MD5Context *context)
{
  context->count[0] = context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
}

void MD5Update(MD5Context *context, const byte *input, dword length)
{
  dword index = (context->count[0] >> 3) & 0x3F;
  dword bits = length << 3;
  context->count[0] += bits;
  if (context->count[0] < bits)
    context->count[1]++;
  context->count[1] += length >> 29;

  dword i = 0;
  dword partLen = 64 - index;
  if (length >= partLen) {
    for (dword k = 0; k < partLen; k++)
      context->buffer[index + k] = input[k];
    Transform(context->state, context->buffer);
    for (i = partLen; i + 63 < length; i += 64)
      Transform(context->state, input + i);
    index = 0;
  }
  for (dword k = 0; i + k < length; k++)
    context->buffer[index + k] = input[i + k];
}

void MD5Final(MD5Context *context)
{
  byte bits[8];
  Store32(bits, context->count[0]);
  Store32(bits + 4, context->count[1]);
  dword index = (context->count[0] >> 3) & 0x3F;
  MD5Update(context, PADDING, index < 56 ? 56 - index : 120 - index);
  MD5Update(context, bits, 8);
  for (int i = 0; i < 4; i++)
    Store32(context->digest + 4 * i, context->state[i]);
}

static void CopyDigest(const MD5Context *context, byte *digest)
{
  if (digest)
    for (int i = 0; i < 16; i++)
      digest[i] = context->digest[i];
}

int MD5String(const char *text, byte *digest)
{
  if (!text)
    return 0;
  MD5Context context;
  dword length = 0;
  while (text[length])
    length++;
  MD5Init(&context);
  MD5Update(&context, (const byte *)text, length);
  MD5Final(&context);
  CopyDigest(&context, digest);
  return 1;
}

int MD5File(const char *name, byte *digest)
{
  if (!name)
    return 0;
  TapFile *handle = TAP_Hdd_Fopen(name);
  if (!handle)
    return 0;
  MD5Context context;
  static byte buffer[MD5_FILE_BLOCK]; /* not on the plug-in's small stack */
  dword got;
  MD5Init(&context);
  while ((got = TAP_Hdd_Fread(buffer, 1, sizeof buffer, handle)) > 0)
    MD5Update(&context, buffer, got);
  MD5Final(&context);
  TAP_Hdd_Fclose(handle);
  CopyDigest(&context, digest);
  return 1;
}

/* A read error fails the whole digest: a digest of part of a file would
 * stand in the catalogue as that file's contents. */
/* Regular files only, opened so that a FIFO or device in the file's place
 * cannot block and a symbolic link is not followed. */
int MD5AbsFile(const char *path, byte *digest)
{
  struct stat st;
  if (!path)
    return 0;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0)
    return 0;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return 0;
  }
  MD5Context context;
  static byte buffer[MD5_FILE_BLOCK]; /* not on the plug-in's small stack */
  ssize_t got;
  MD5Init(&context);
  for (;;) {
    got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    MD5Update(&context, buffer, (dword)got);
  }
  close(fd);
  if (got < 0)
    return 0;
  MD5Final(&context);
  CopyDigest(&context, digest);
  return 1;
}
