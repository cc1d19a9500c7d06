// Client of the TrueCrypt 4.3a kernel driver: version check, mount, dismount.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "nt/nt.h"

struct DRIVER_CLIENT {
    HANDLE Handle;
    uint8_t Request[1024];  // mount or dismount request, and the driver's answer
};
static_assert(offsetof(DRIVER_CLIENT, Request) == sizeof(HANDLE));
static_assert(sizeof(DRIVER_CLIENT) == sizeof(HANDLE) + 1024);
