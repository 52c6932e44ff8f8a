#pragma once

#include "SlotEntry.h"

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TokenLibrary;

// The manager's model of the token hardware: one SlotEntry per slot listed at
// start-up, kept for the whole run, and a monitor thread that polls the
// vendor library for slot events, applies token insertion and removal to the
// affected entry and then hands every event to the event poster.
//
// A module without the vendor table (one the user named, see
// TokenLibrary::anyModule()) has no slot event query; the monitor then reads
// every slot's information each poll interval and reports a token that came
// or went as event 1 or 2.
//
// Threads: the slot map is filled by initialize() and rescanSlots() and
// emptied by shutdown(), all on the user-interface thread; entries are only
// added while the program runs, never dropped, so pointers to them stay
// valid. The map's shape is guarded for the monitor's lookups; the
// user-interface thread, the only writer, iterates it without the lock. Entries guard themselves (see SlotEntry); the monitor holds an entry's
// lock while it applies an event and releases it before posting, so the
// entry is up to date when the window handles the event.
class SlotManager {
public:
    // Receives (slot identifier, event code) on the monitor thread. The user
    // interface installs one that queues the event to its own thread.
    using EventPoster = std::function<void(CK_SLOT_ID, CK_ULONG)>;
    using SlotMap = std::map<CK_SLOT_ID, std::unique_ptr<SlotEntry>>;

    static SlotManager& instance();

    // Separate managers over separate libraries exist for tests; the program
    // uses instance().
    explicit SlotManager(TokenLibrary& library);
    // Stops a monitor that shutdown() did not stop, so no thread outlives
    // the manager.
    ~SlotManager();
    SlotManager(const SlotManager&) = delete;
    SlotManager& operator=(const SlotManager&) = delete;

    // Lists the slots and starts the monitor. True with zero slots, and then
    // no monitor runs.
    bool initialize();
    // Stops the monitor, then destroys every entry. Always true.
    bool shutdown();

    // Reads the slot list again after something on the token side changed
    // the slots (an initialization may move a token to another slot id):
    // new slots get entries, and every known slot's information and token
    // are read again; a slot no longer listed is kept as one without a
    // token. The monitor keeps running. False when the list cannot be read.
    bool rescanSlots();

    SlotEntry* findSlot(CK_SLOT_ID slotId) const;
    // Every entry in ascending slot identifier. (Not "slots": a Qt keyword.)
    const SlotMap& allSlots() const { return slots_; }

    // An empty poster drops events. The poster runs with an internal lock
    // held, so once this returns the previous poster is no longer running;
    // the poster must not call setEventPoster() itself.
    void setEventPoster(EventPoster poster);

    // Time between polls; 500 ms unless a test shortens it.
    void setPollInterval(std::chrono::milliseconds interval);

    // Asks the monitor to end and waits until it has; the thread is woken
    // from its sleep rather than left to finish it.
    void stopMonitor();
    bool monitorRunning() const;

private:
    void addSlot(CK_SLOT_ID slotId);
    bool startMonitor();
    void monitor();
    // One round of the monitor over a module without the event query.
    void pollSlotInfo();
    bool readSlotList(std::vector<CK_SLOT_ID>& list) const;
    // Sleeps one poll interval or until a stop is requested.
    void pause();
    void post(CK_SLOT_ID slotId, CK_ULONG event);

    TokenLibrary& library_;
    SlotMap slots_;
    mutable std::mutex slotsMutex_;

    mutable std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    bool stopRequested_ = false;
    bool monitorStopped_ = true;
    std::chrono::milliseconds pollInterval_{500};
    std::thread thread_;

    std::mutex posterMutex_;
    EventPoster poster_;
};
