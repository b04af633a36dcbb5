// Where inet_addr comes from: Winsock on Windows, the C library elsewhere
// (the fuzz build). Both return the address in network order, or all ones.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif
