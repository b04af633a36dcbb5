// The add, remove and start commands: the executable registers, unregisters
// or starts itself through the service control manager and tells the person
// at the keyboard the outcome in a notice box. Every manager handle is closed
// before a command returns.
#pragma once

void install_service();
void remove_service();
void start_installed_service();
