/* CRC-32 with the polynomial 0x04C11DB7, most significant bit first, no
 * reflection and no final inversion (CRC-32/MPEG-2 when started from
 * 0xFFFFFFFF).  The catalogue starts from 0. */
#include "CRC32.h"

dword CRC32Table[256];
int CRCTableOK;

static const byte PolyExponents[] = {0, 1, 2, 4, 5, 7, 8, 10, 11, 12, 16, 22, 23, 26};

void make_crc_table(void)
{
  dword poly = 0;
  for (dword i = 0; i < sizeof PolyExponents; i++)
    poly |= 1u << PolyExponents[i];
  for (dword n = 0; n < 256; n++) {
    dword c = n << 24;
    for (int k = 0; k < 8; k++)
      c = c & 0x80000000u ? (c << 1) ^ poly : c << 1;
    CRC32Table[n] = c;
  }
  CRCTableOK = 1;
}

dword CRC32(dword crc, const void *data, dword length)
{
  if (!data)
    return crc;
  if (!CRCTableOK)
    make_crc_table();
  const byte *p = (const byte *)data;
  while (length--)
    crc = CRC32Table[(crc >> 24) ^ *p++] ^ (crc << 8);
  return crc;
}
