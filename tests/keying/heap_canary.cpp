// Allocates on purpose: the heap check must refuse this archive.
#include <cstdlib>

void *KeyingHeapCanary(unsigned long size) { return std::malloc(size); }
