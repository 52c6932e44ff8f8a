// Decisions and decryption counts used to live in HKEY_CURRENT_USER, which every process of the
// user (workers included) can write. They are moved into the bridge's state folder once: what is
// there is merged in (the state folder's own records win), deleted from the registry store, and
// a marker records the move, so entries that appear in the registry store later are never read.
#pragma once

namespace bridge::policy::state {

// True when the move has been made, now or before; false with lastError() set when the
// registry store or the state folder could not be used: the state must not be used then, since
// a later move would bring back what was decided meanwhile.
bool ensureMovedFromRegistry();

} // namespace bridge::policy::state
