// Worker threads that decode the masters of the analysis' upcoming images and render their grids
// ahead of its steps, each with a calculator of its own. They only read the master files: they
// ask nothing of the photo application, write nothing and never prompt; the lines that preparing
// logs are held for the step that takes the grids, so that the log reads as though the step had
// prepared the file itself.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "fingerprint/Lumsift.h"

namespace lumsift {

// What identifies a file's contents for the analysis: the same file (device and inode) of the
// same size, modified and changed at the same times.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    // The stamp of the regular file at `path` that the user can read; nullopt for anything else
    // (missing, unreadable, a FIFO, a folder).
    static std::optional<FileStamp> of(const std::string& path);
    bool operator==(const FileStamp& other) const;
};

// What the step asks to have prepared for one image: its master, read in place, and the grids of
// the kinds it needs.
struct GridJob {
    std::string path;
    bool eightX8 = false;
    bool thirty2x32 = false;
};

// What a worker made of one job: the grids asked for, or the failure, with the lines that
// preparing logged, and the stamp of the file it read.
struct PreparedGrids {
    GridJob job;
    FileStamp stamp;
    bool prepared = false;
    PixelGrid<8> grid8{};
    PixelGrid<32> grid32{};
    bool alphaFirst = false;
    std::vector<std::string> loggedLines;

    // True when these grids are what preparing `path` with these flags would make now: the same
    // path and flags, and the file unchanged since the worker read it.
    bool fitsFile(const std::string& path, bool eightX8, bool thirty2x32) const;
};

class GridWorkers {
public:
    // Starts `workers` threads (at least 1), each of which makes its calculator. At most
    // `ahead` positions are handed out beyond the one the analysis waits for.
    GridWorkers(unsigned workers, std::size_t ahead);
    // Stops the workers after the file each is reading, and drops every result.
    ~GridWorkers();
    GridWorkers(const GridWorkers&) = delete;
    GridWorkers& operator=(const GridWorkers&) = delete;

    // The first list position that has not been planned yet, and the position after the last
    // that may be planned now: planning runs ahead of `take` by at most `ahead` positions.
    std::size_t nextToPlan() const;
    std::size_t planLimit() const;
    // Plans list position nextToPlan(): `job` for the workers, or none (the step prepares that
    // image itself). Caller: the analysis thread.
    void plan(std::optional<GridJob> job);
    // The result for list position `position`, waiting for a worker that is preparing it; none
    // when none was planned. Results of earlier positions are dropped. Caller: the analysis
    // thread, with positions in increasing order.
    std::optional<PreparedGrids> take(std::size_t position);

private:
    struct Slot {
        GridJob job;
        bool done = false;
        std::optional<PreparedGrids> result;
    };
    void work();
    // The next position that no worker has claimed; none when the workers stop. Caller holds
    // mutex_.
    std::optional<std::size_t> claim(std::unique_lock<std::mutex>& lock);

    const std::size_t ahead_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::size_t planned_ = 0;
    std::size_t taken_ = 0;
    // Planned positions with a job that are not taken yet, by position.
    std::map<std::size_t, Slot> slots_;
    // Positions in slots_ that no worker has claimed yet, lowest first.
    std::deque<std::size_t> unclaimed_;
    std::vector<std::thread> threads_;
};

// Prepares `job` with `calculator`, as the step would, for a worker: the file is read only when
// it is a readable regular file, and nothing is had when it changes meanwhile. Decoding runs
// beside the other workers; when it fails or logs anything, or libvips warned meanwhile, it is
// done again with libvips to itself, so that the lines held are its own.
std::optional<PreparedGrids> prepareAhead(Lumsift& calculator, const GridJob& job);

} // namespace lumsift
