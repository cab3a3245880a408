/* MD5 message digest (RFC 1321). */
#ifndef VAULTRIX_MD5_H
#define VAULTRIX_MD5_H
#include "../support/tap.h"
/* Bytes read at a time by the two file digests: large reads halve the
 * system calls' share of a digest; a multiple of 64, so whole blocks are
 * hashed straight from the buffer. */
#define MD5_FILE_BLOCK 65536
typedef struct MD5Context {
  dword count[2]; /* bits, low word first */
  dword state[4];
  byte buffer[64];
  byte digest[16];
} MD5Context;
static_assert(sizeof(MD5Context) == 104, "MD5 context is 104 bytes");
extern "C" {
void MD5Init(MD5Context *context);
void MD5Update(MD5Context *context, const byte *input, dword length);
void MD5Final(MD5Context *context);
int MD5String(const char *text, byte *digest);
int MD5File(const char *name, byte *digest);
int MD5AbsFile(const char *path, byte *digest);
}
#endif
