// One transmit cycle: read the adapter list and the clock, build the packet,
// and send it once to the broadcast address of every suitable adapter on
// UDP port 123. Needs Winsock started; keeps nothing between cycles and
// releases everything it acquired before it returns.
#pragma once

void transmit_cycle();
