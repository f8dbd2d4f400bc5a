// Giving up an application's saved reports: the whole outbox folder goes, after the reports in
// it have been counted. Used when the player refuses and when the game deletes its local data.
// Worker thread only, and only while this process does not hold the outbox open itself.
#ifndef MIRTO_OUTBOX_OUTBOX_REMOVAL_H
#define MIRTO_OUTBOX_OUTBOX_REMOVAL_H

#include <cstdint>
#include <string>

#include "win/held_files.h"

namespace mirto {

struct OutboxDiscard {
    bool removed;              // the folder is gone (or never was)
    std::uint64_t reports;     // saved reports it held, not yet accepted
    bool left_behind = false;  // it was taken, but some of its files stayed (held elsewhere)
};

// Removes "<LocalAppData>\mirto\<application id>\outbox\" with everything in it, and the
// application's folder above it when nothing else is left there. A missing folder is not
// created, and an id that is not a single folder name names nothing to remove. While another
// process holds the outbox (its lock file), nothing is removed.
OutboxDiscard DiscardOutbox(const std::wstring& application_id, FilePatience& patience);

}  // namespace mirto

#endif  // MIRTO_OUTBOX_OUTBOX_REMOVAL_H
