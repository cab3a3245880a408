/* On-disk layout of the catalogue "VXDB.db", shared by the plug-in and the
 * PC tools so that the two can never drift.  All integers little-endian. */
#ifndef VAULTRIX_VXDBFORMAT_H
#define VAULTRIX_VXDBFORMAT_H

#include <stdint.h>

#define VXDB_HEADER_SIZE 36
#define VXDB_ENTRY_SIZE 48
#define VXDB_VERSION 1
#define VXDB_FILE_NAME "VXDB.db"
#define VXDB_ENTRY_STEP 100
#define VXDB_TEXT_STEP 1026

#endif
