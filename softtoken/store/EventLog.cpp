#include "softtoken/store/Files.h"
#include "softtoken/store/TokenStore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace softtoken::store {

namespace {

constexpr std::uint32_t kMagic = 0x4b455631; // "KEV1"

// One record, written with a single write() so concurrent appends never interleave.
struct Record {
    std::uint32_t magic;
    std::uint32_t reserved;
    std::uint64_t slot;
    std::uint64_t code;
    std::uint64_t origin;
};
static_assert(sizeof(Record) == 32);

} // namespace

struct EventLog::Impl {
    std::string storeDir;
    std::string path;
    int fd = -1;
    ino_t inode = 0;
    dev_t device = 0;
    off_t offset = 0;
    // A record whose bytes are not there yet is retried once before being skipped.
    off_t suspect = -1;

    ~Impl() {
        if (fd >= 0)
            ::close(fd);
    }

    bool reopen() {
        if (fd >= 0)
            ::close(fd);
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0)
            return false;
        inode = st.st_ino;
        device = st.st_dev;
        return true;
    }
};

EventLog::EventLog(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
EventLog::~EventLog() = default;

CK_RV EventLog::open(const Config& config, std::unique_ptr<EventLog>& out) {
    try {
        out.reset();
        if (!files::unsafeDirReason(config.storeDir).empty())
            return CKR_DEVICE_ERROR;
        auto impl = std::make_unique<Impl>();
        impl->storeDir = config.storeDir;
        impl->path = config.storeDir + "/" + files::kEventsFile;
        // A log not written yet is created by its first writer; next() then reads all of it.
        if (!files::exists(impl->path)) {
            out.reset(new EventLog(std::move(impl)));
            return CKR_OK;
        }
        if (!impl->reopen())
            return CKR_DEVICE_ERROR;
        struct stat st {};
        if (::fstat(impl->fd, &st) != 0)
            return CKR_DEVICE_ERROR;
        impl->offset = st.st_size;
        out.reset(new EventLog(std::move(impl)));
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV EventLog::append(const SlotEvent& event) {
    Record record{kMagic, 0, event.slot, event.code, event.origin};
    // A writer may be the store's first; readers never create it.
    if (!files::ensureDir(impl_->storeDir))
        return CKR_DEVICE_ERROR;
    // Opened per append: the file may have been truncated or replaced since.
    const int fd = ::open(impl_->path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return CKR_DEVICE_ERROR;
    ssize_t written;
    do {
        written = ::write(fd, &record, sizeof record);
    } while (written < 0 && errno == EINTR);
    ::close(fd);
    return written == static_cast<ssize_t>(sizeof record) ? CKR_OK : CKR_DEVICE_ERROR;
}

std::optional<SlotEvent> EventLog::next() {
    Impl& d = *impl_;
    struct stat st {};
    if (::stat(d.path.c_str(), &st) != 0)
        return std::nullopt;
    if (st.st_ino != d.inode || st.st_dev != d.device) {
        // Replaced by a new file: everything in it is new to us.
        if (!d.reopen())
            return std::nullopt;
        d.offset = 0;
        d.suspect = -1;
    } else if (st.st_size < d.offset) {
        // Truncated in place.
        d.offset = 0;
        d.suspect = -1;
    }
    while (st.st_size - d.offset >= static_cast<off_t>(sizeof(Record))) {
        Record record;
        const ssize_t got = ::pread(d.fd, &record, sizeof record, d.offset);
        if (got != static_cast<ssize_t>(sizeof record))
            return std::nullopt;
        if (record.magic != kMagic) {
            if (d.suspect != d.offset) {
                d.suspect = d.offset;
                return std::nullopt;
            }
            d.offset += sizeof record;
            continue;
        }
        d.offset += sizeof record;
        d.suspect = -1;
        SlotEvent event;
        event.slot = static_cast<CK_SLOT_ID>(record.slot);
        event.code = static_cast<CK_ULONG>(record.code);
        event.origin = record.origin;
        return event;
    }
    return std::nullopt;
}

} // namespace softtoken::store
