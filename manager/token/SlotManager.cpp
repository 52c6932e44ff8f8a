#include "SlotManager.h"

#include "TokenLibrary.h"

#include <korvan/vendor_aux.h>

#include <algorithm>
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

    std::vector<CK_SLOT_ID> list;
    if (!readSlotList(list))
        return false;
    if (list.empty())
        return true;

    for (CK_SLOT_ID slotId : list)
        addSlot(slotId);

    return startMonitor();
}

bool SlotManager::readSlotList(std::vector<CK_SLOT_ID>& list) const {
    list.clear();
    CK_FUNCTION_LIST* fns = library_.functions();
    if (fns == nullptr)
        return false;
    CK_ULONG count = 0;
    if (fns->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK)
        return false;
    if (count == 0)
        return true;
    // A module answering an absurd count is broken, not a reason to
    // allocate without bound.
    constexpr CK_ULONG kMaxSlots = 4096;
    if (count > kMaxSlots)
        return false;

    list.resize(count);
    CK_ULONG listed = count;
    // The second call's code is not examined: only a changed count matters.
    fns->C_GetSlotList(CK_FALSE, list.data(), &listed);
    if (listed != count) {
        list.clear();
        return false;
    }
    return true;
}

bool SlotManager::rescanSlots() {
    std::vector<CK_SLOT_ID> list;
    if (!readSlotList(list))
        return false;
    for (CK_SLOT_ID slotId : list)
        addSlot(slotId);
    CK_FUNCTION_LIST* fns = library_.functions();
    for (const auto& [slotId, entry] : slots_) {
        SlotEntry::Lock guard = entry->lock();
        bool listed = std::find(list.begin(), list.end(), slotId) != list.end();
        CK_SLOT_INFO info;
        std::memset(&info, 0, sizeof info);
        if (listed && fns->C_GetSlotInfo(slotId, &info) == CKR_OK &&
            (info.flags & CKF_TOKEN_PRESENT) != 0) {
            entry->onTokenInserted();
        } else if (entry->tokenPresent) {
            entry->onTokenRemoved();
        }
    }
    if (!slots_.empty())
        return startMonitor();
    return true;
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
    std::lock_guard guard(slotsMutex_);
    slots_.emplace(slotId, std::move(entry));
}

bool SlotManager::shutdown() {
    stopMonitor();
    std::lock_guard guard(slotsMutex_);
    slots_.clear();
    return true;
}

SlotEntry* SlotManager::findSlot(CK_SLOT_ID slotId) const {
    std::lock_guard guard(slotsMutex_);
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

void SlotManager::pollSlotInfo() {
    CK_FUNCTION_LIST* fns = library_.functions();
    std::vector<std::pair<CK_SLOT_ID, SlotEntry*>> entries;
    {
        std::lock_guard guard(slotsMutex_);
        for (const auto& [slotId, entry] : slots_)
            entries.emplace_back(slotId, entry.get());
    }
    // Modules that find readers only when the list is asked for want this
    // call before their slot information is current.
    CK_ULONG count = 0;
    fns->C_GetSlotList(CK_FALSE, nullptr, &count);
    for (auto [slotId, entry] : entries) {
        CK_SLOT_INFO info;
        std::memset(&info, 0, sizeof info);
        CK_RV rv = fns->C_GetSlotInfo(slotId, &info);
        // A slot that is gone holds no token; one that fails for another
        // reason is asked again next round.
        if (rv != CKR_OK && rv != CKR_SLOT_ID_INVALID && rv != CKR_DEVICE_REMOVED)
            continue;
        bool present = rv == CKR_OK && (info.flags & CKF_TOKEN_PRESENT) != 0;
        {
            // Compared with the entry itself, so a change the user-interface
            // thread already applied (rescanSlots()) is not reported again.
            SlotEntry::Lock entryGuard = entry->lock();
            if (entry->tokenPresent == present)
                continue;
            if (present)
                entry->onTokenInserted();
            else
                entry->onTokenRemoved();
        }
        post(slotId, present ? E_EVENT_TOKEN_INSERTED : E_EVENT_TOKEN_REMOVED);
    }
}

void SlotManager::monitor() {
    CK_FUNCTION_LIST* fns = library_.functions();
    VendorAuxFunctionList* aux = library_.auxFunctions();
    bool polling = fns != nullptr && library_.anyModule() &&
                   (aux == nullptr || aux->E_PollSlotEvent == nullptr);
    if (polling) {
        for (;;) {
            {
                std::lock_guard guard(stateMutex_);
                if (stopRequested_)
                    break;
            }
            pollSlotInfo();
            pause();
        }
    } else if (fns != nullptr && aux != nullptr && aux->E_PollSlotEvent != nullptr) {
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
