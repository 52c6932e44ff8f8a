#include "SlotManager.h"

#include "TokenLibrary.h"

#include <korvan/vendor_aux.h>

#include <cstring>
#include <system_error>
#include <vector>

SlotManager& SlotManager::instance() {
    static SlotManager manager(TokenLibrary::instance());
    return manager;
}

SlotManager::SlotManager(TokenLibrary& library) : library_(library) {}

SlotManager::~SlotManager() {
    stopMonitor();
}

bool SlotManager::initialize() {
    CK_FUNCTION_LIST* fns = library_.functions();
    if (fns == nullptr)
        return false;

    CK_ULONG count = 0;
    if (fns->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK)
        return false;
    if (count == 0)
        return true;

    std::vector<CK_SLOT_ID> list(count);
    CK_ULONG listed = count;
    // The second call's code is not examined: only a changed count matters.
    fns->C_GetSlotList(CK_FALSE, list.data(), &listed);
    if (listed != count)
        return false;

    for (CK_SLOT_ID slotId : list)
        addSlot(slotId);

    return startMonitor();
}

void SlotManager::addSlot(CK_SLOT_ID slotId) {
    if (findSlot(slotId) != nullptr)
        return;
    CK_FUNCTION_LIST* fns = library_.functions();
    CK_SLOT_INFO info;
    std::memset(&info, 0, sizeof info);
    if (fns->C_GetSlotInfo(slotId, &info) != CKR_OK)
        return;
    auto entry = std::make_unique<SlotEntry>(slotId, library_);
    if (!entry->refreshSlotInfo())
        return;
    if (entry->tokenPresent)
        entry->refreshTokenInfo();
    slots_.emplace(slotId, std::move(entry));
}

bool SlotManager::shutdown() {
    stopMonitor();
    slots_.clear();
    return true;
}

SlotEntry* SlotManager::findSlot(CK_SLOT_ID slotId) const {
    auto found = slots_.find(slotId);
    return found != slots_.end() ? found->second.get() : nullptr;
}

void SlotManager::setEventPoster(EventPoster poster) {
    std::lock_guard guard(posterMutex_);
    poster_ = std::move(poster);
}

void SlotManager::setPollInterval(std::chrono::milliseconds interval) {
    std::lock_guard guard(stateMutex_);
    pollInterval_ = interval;
}

bool SlotManager::monitorRunning() const {
    std::lock_guard guard(stateMutex_);
    return !monitorStopped_;
}

bool SlotManager::startMonitor() {
    {
        std::lock_guard guard(stateMutex_);
        if (!monitorStopped_)
            return true;
        // Cleared before the thread exists, so a stop right after start waits for it.
        monitorStopped_ = false;
    }
    if (thread_.joinable())
        thread_.join();
    try {
        thread_ = std::thread(&SlotManager::monitor, this);
    } catch (const std::system_error&) {
        std::lock_guard guard(stateMutex_);
        monitorStopped_ = true;
        return false;
    }
    return true;
}

void SlotManager::stopMonitor() {
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
        // Called from the poster: the thread can only be asked to end.
        std::lock_guard guard(stateMutex_);
        stopRequested_ = true;
        return;
    }
    {
        std::unique_lock guard(stateMutex_);
        stopRequested_ = true;
        stateChanged_.notify_all();
        stateChanged_.wait(guard, [this] { return monitorStopped_; });
        stopRequested_ = false;
    }
    if (thread_.joinable())
        thread_.join();
}

void SlotManager::pause() {
    std::unique_lock guard(stateMutex_);
    stateChanged_.wait_for(guard, pollInterval_, [this] { return stopRequested_; });
}

void SlotManager::post(CK_SLOT_ID slotId, CK_ULONG event) {
    std::lock_guard guard(posterMutex_);
    if (poster_)
        poster_(slotId, event);
}

void SlotManager::monitor() {
    CK_FUNCTION_LIST* fns = library_.functions();
    VendorAuxFunctionList* aux = library_.auxFunctions();
    if (fns != nullptr && aux != nullptr && aux->E_PollSlotEvent != nullptr) {
        for (;;) {
            {
                std::lock_guard guard(stateMutex_);
                if (stopRequested_)
                    break;
            }
            CK_SLOT_ID slotId = 0;
            CK_ULONG event = 0;
            CK_ULONG extra = 0;
            if (aux->E_PollSlotEvent(E_POLL_DONT_BLOCK, &slotId, &event, &extra, nullptr) !=
                CKR_OK) {
                pause();
                continue;
            }
            if (event == E_EVENT_TOKEN_INSERTED || event == E_EVENT_TOKEN_REMOVED) {
                CK_SLOT_INFO info;
                std::memset(&info, 0, sizeof info);
                // The event is dropped and the next poll follows at once.
                if (fns->C_GetSlotInfo(slotId, &info) != CKR_OK)
                    continue;
                if (SlotEntry* entry = findSlot(slotId)) {
                    SlotEntry::Lock entryGuard = entry->lock();
                    if ((info.flags & CKF_TOKEN_PRESENT) != 0)
                        entry->onTokenInserted();
                    else
                        entry->onTokenRemoved();
                }
            }
            post(slotId, event);
            pause();
        }
    }
    std::lock_guard guard(stateMutex_);
    monitorStopped_ = true;
    stateChanged_.notify_all();
}
