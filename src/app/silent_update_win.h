// The unattended driver update ("-s -g name=[...]").
#pragma once

// Checks the update lists as the update dialog does (the server's and the
// one the uninstall record names, signatures and digests), then installs
// every driver the server has newer; skin packages are never fetched. No
// process is ended: a driver in use is replaced at the next restart.
// Returns 0 (updated, or nothing to do), 3010 (a driver is replaced at the
// next restart) or 1603 (the product's folder or configuration is missing, a
// list could not be fetched or was refused, or an item failed).
int RunSilentUpdate();
