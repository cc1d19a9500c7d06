// Blowfish with the two 32-bit halves of each block read and written
// little-endian: the Blowfish of the volume format. The key schedule is the
// dependency's standard one; only the block byte order differs.
#pragma once

#include <tomcrypt.h>

int LeBlowfishEncrypt(const unsigned char *input, unsigned char *output, symmetric_key *schedule);
int LeBlowfishDecrypt(const unsigned char *input, unsigned char *output, symmetric_key *schedule);
