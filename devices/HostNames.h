// Forward-confirmed reverse look-ups of box and owner addresses.
#pragma once

#include <cstddef>

// Host name of a box address into `result` (80 characters); false leaves `result` untouched.
bool TryGetZentrovaHostName(const char* address, char* result);
// Host name of an owner address into `result`, bounded by 80 characters whatever `size` says.
bool TryGetOwnerHostName(char* result, size_t size, const char* address);
