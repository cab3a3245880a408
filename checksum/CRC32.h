/* CRC-32, polynomial 0x04C11DB7, most significant bit first, no reflection,
 * no final inversion; the caller chooses the start value. */
#ifndef VAULTRIX_CRC32_H
#define VAULTRIX_CRC32_H
#include "../support/tap.h"
extern "C" {
extern dword CRC32Table[256];
extern int CRCTableOK;
void make_crc_table(void);
dword CRC32(dword crc, const void *data, dword length);
}
#endif
