// The command table: which run this is, chosen by the first argument.
// add, remove, start and help need no network and are tested first; debug
// only once Windows Sockets has started; anything else, or nothing, makes
// this process the service. Every path returns 0.
#pragma once

int run_command(int argc, wchar_t **argv);
