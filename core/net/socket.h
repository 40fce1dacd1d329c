// Sockets of the network transport: for now the macro key provider for the machine's network
// identity (intranet address, link address and host name).
#pragma once

#include <cstdint>

enum : int32_t { SOCKET_MACHINE_NAME_MAX = 119 };

// Key provider of the macro expander: "IntranetIP", "MACAddress" and "MachineName", compared
// without case; answers 1 with the value (empty when the machine has none), 0 for other names.
// The argument is not used.
int64_t Socket_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);
