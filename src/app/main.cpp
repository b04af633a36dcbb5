// Process entry on the wide argument vector, so command words and paths
// arrive as the system holds them.
#include "app/commands.h"

int wmain(int argc, wchar_t **argv) { return run_command(argc, argv); }
