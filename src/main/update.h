// Updates that the web front end delivers: the archive data.tar.gz and its
// detached OpenPGP signature data.tar.gz.sig, placed by the front end's group
// in the upload folder, are installed only from copies in a directory that
// root alone can reach, once the signature is found good by sqv against the
// update keys and every member of the archive stays inside that directory.
// The last update's result is published with the unit's state.
#pragma once

#include <cstdint>
#include <string>

// The last update asked for, kept on the SD card (/usr/kelvatro/last-update),
// so that an installed update's result outlives the reboot that follows it.
struct UpdateResult {
    int64_t at_s = 0; // when it was asked, s since the epoch; 0: none yet
    bool refused = false;
    std::string detail; // why it was refused, or the fingerprint of its key
};
extern UpdateResult last_update;

enum class UpdateScript { setup, setup_fpga };

// Reads the result that the last update kept (at the program's start).
void update_result_load();

// Copies the package into a fresh private directory and checks it there.
// True when it may be installed (its key's fingerprint logged); false when it
// is refused: one level-3 line says why, and nothing is left behind.
bool update_check();
// Unpacks the checked package in the private directory, without the
// archive's owners, runs its setup script there, syncs, and removes the
// directory.
void update_install(UpdateScript script);
