// The analysis' grid workers: a bounded plan of upcoming list positions, threads that claim them
// lowest first, and the preparation of one master as a worker does it.
#include "engine/GridWorkers.h"

#include <algorithm>
#include <malloc.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log/Log.h"
#include "platform/vips/Vips.h"

namespace lumsift {
namespace {

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// One preparation of `job`, its lines held; none when the file is not the one `stamp` describes
// before and after reading it.
std::optional<PreparedGrids> prepareOnce(Lumsift& calculator, const GridJob& job,
                                         const FileStamp& stamp, log::Hold& held) {
    PreparedGrids grids;
    grids.job = job;
    grids.stamp = stamp;
    grids.prepared = calculator.prepareImageData(job.path, job.eightX8, job.thirty2x32);
    if (FileStamp::of(job.path) != stamp)
        return std::nullopt;
    if (grids.prepared) {
        grids.grid8 = calculator.grid8();
        grids.grid32 = calculator.grid32();
        grids.alphaFirst = calculator.isAlphaFirst();
    }
    grids.loggedLines = held.take();
    return grids;
}

} // namespace

std::optional<FileStamp> FileStamp::of(const std::string& path) {
    struct stat status {};
    if (path.empty() || stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        access(path.c_str(), R_OK) != 0)
        return std::nullopt;
    return FileStamp{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

bool FileStamp::operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

bool PreparedGrids::fitsFile(const std::string& path, bool eightX8, bool thirty2x32) const {
    return job.path == path && job.eightX8 == eightX8 && job.thirty2x32 == thirty2x32 &&
           FileStamp::of(path) == stamp;
}

std::optional<PreparedGrids> prepareAhead(Lumsift& calculator, const GridJob& job) {
    const std::optional<FileStamp> before = FileStamp::of(job.path);
    if (!before)
        return std::nullopt; // the step finds out what it can do with the file
    {
        log::Hold held;
        const vips::SharedUse shared;
        std::optional<PreparedGrids> grids = prepareOnce(calculator, job, *before, held);
        if (!grids || (grids->prepared && grids->loggedLines.empty() && !shared.warned()))
            return grids;
    }
    // libvips' error text and warnings may have been another worker's: once more, alone.
    log::Hold held;
    const vips::ExclusiveUse alone;
    const std::optional<FileStamp> now = FileStamp::of(job.path);
    if (!now)
        return std::nullopt;
    return prepareOnce(calculator, job, *now, held);
}

GridWorkers::GridWorkers(unsigned workers, std::size_t ahead) : ahead_(ahead) {
    // Decoding a large picture takes buffers of tens of megabytes. By default glibc raises its
    // mapping threshold after the first such buffer is freed, and each worker's arena then keeps
    // the largest it has decoded: with a fixed threshold they go back to the system at once.
    static std::once_flag threshold;
    std::call_once(threshold, [] { mallopt(M_MMAP_THRESHOLD, 4 << 20); });
    for (unsigned i = 0; i < std::max(workers, 1u); ++i)
        threads_.emplace_back([this] { work(); });
}

GridWorkers::~GridWorkers() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        slots_.clear();
        unclaimed_.clear();
    }
    changed_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

std::size_t GridWorkers::nextToPlan() const {
    const std::lock_guard lock(mutex_);
    return planned_;
}

std::size_t GridWorkers::planLimit() const {
    const std::lock_guard lock(mutex_);
    return taken_ + ahead_ + 1;
}

void GridWorkers::plan(std::optional<GridJob> job) {
    {
        const std::lock_guard lock(mutex_);
        const std::size_t position = planned_++;
        if (!job)
            return;
        slots_[position].job = std::move(*job);
        unclaimed_.push_back(position);
    }
    changed_.notify_all();
}

std::optional<PreparedGrids> GridWorkers::take(std::size_t position) {
    std::unique_lock lock(mutex_);
    taken_ = position + 1;
    slots_.erase(slots_.begin(), slots_.lower_bound(position));
    std::erase_if(unclaimed_, [position](std::size_t p) { return p < position; });
    const auto slot = slots_.find(position);
    if (slot == slots_.end())
        return std::nullopt;
    changed_.wait(lock, [&slot] { return slot->second.done; });
    std::optional<PreparedGrids> result = std::move(slot->second.result);
    slots_.erase(slot);
    return result;
}

std::optional<std::size_t> GridWorkers::claim(std::unique_lock<std::mutex>& lock) {
    changed_.wait(lock, [this] { return stopping_ || !unclaimed_.empty(); });
    if (stopping_)
        return std::nullopt;
    const std::size_t position = unclaimed_.front();
    unclaimed_.pop_front();
    return position;
}

void GridWorkers::work() {
    Lumsift calculator;
    std::unique_lock lock(mutex_);
    while (const std::optional<std::size_t> position = claim(lock)) {
        const GridJob job = slots_.at(*position).job;
        lock.unlock();
        std::optional<PreparedGrids> result = prepareAhead(calculator, job);
        lock.lock();
        // The analysis may have passed the position, or the run ended, meanwhile.
        const auto slot = slots_.find(*position);
        if (slot == slots_.end())
            continue;
        slot->second.result = std::move(result);
        slot->second.done = true;
        changed_.notify_all();
    }
}

} // namespace lumsift
