#include "foundation/hash_workers.hpp"

#include "foundation/changes.hpp"
#include "foundation/crypto.hpp"

#include <algorithm>
#include <array>
#include <optional>

namespace tess {
namespace {

// Files queued per thread: enough that no thread waits for the caller, few enough to hold no list.
constexpr size_t queuedPerThread = 8;
constexpr size_t blockBytes = 65536;
constexpr size_t jobsPerTake = 4;
// Below this average a file costs more in opening, reading and closing (under Wine each a round trip to
// the server) than in hashing: the threads mostly wait, and more of them than processors keep the work
// going. Larger files are hashed on one thread per processor.
constexpr std::uint64_t smallFileBytes = 256 * 1024;
constexpr unsigned smallFileThreads = 8;
constexpr unsigned mostLargeFileThreads = 8;
// A flush mostly waits for the disk, and flushes of different files proceed side by side.
constexpr unsigned flushThreadCount = 8;

} // namespace

HashPool HashWorkers::poolFor(std::uint64_t files, std::uint64_t bytes, bool flushes) {
    const unsigned processors = std::clamp(std::thread::hardware_concurrency(), 1u, mostLargeFileThreads);
    const bool smallFiles = files > 0 && bytes / files < smallFileBytes;
    return {smallFiles ? std::max(processors, smallFileThreads) : processors, flushes ? flushThreadCount : 0};
}

HashWorkers::HashWorkers(std::vector<CancelFlag> cancels, HashPool pool, HashWorkerSteps steps)
    : cancels_(std::move(cancels)), steps_(std::move(steps)), pool_(pool),
      capacity_((pool.hashThreads + pool.flushThreads) * queuedPerThread) {
    cancels_.push_back(&stopping_);
    try {
        threads_.reserve(pool_.hashThreads + pool_.flushThreads);
        for (unsigned i = 0; i < pool_.hashThreads; ++i)
            startThread(i, &HashWorkers::work);
        for (unsigned i = 0; i < pool_.flushThreads; ++i)
            startThread(pool_.hashThreads + i, &HashWorkers::flushWork);
    } catch (...) {
        // No destructor runs for a half-built pool: the threads already started are told to stop here,
        // or joining them as the members go would wait for ever.
        stop();
        throw;
    }
}

void HashWorkers::startThread(unsigned index, void (HashWorkers::*body)()) {
    if (steps_.startingThread)
        steps_.startingThread(index);
    threads_.emplace_back([this, body] { (this->*body)(); });
}

HashWorkers::~HashWorkers() {
    stop();
    threads_.clear();
}

void HashWorkers::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobQueued_.notifyAll();
}

void HashWorkers::add(std::filesystem::path file, FileHandle written) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(Job{std::move(file), std::move(written), {}, pool_.flushThreads == 0, false});
    }
    // Both kinds of thread wait for new jobs.
    if (pool_.flushThreads == 0)
        jobQueued_.notifyOne();
    else
        jobQueued_.notifyAll();
}

bool HashWorkers::full() const {
    std::lock_guard lock(mutex_);
    return jobs_.size() >= capacity_;
}

bool HashWorkers::empty() const {
    std::lock_guard lock(mutex_);
    return jobs_.empty();
}

std::optional<FileHash> HashWorkers::takeOldest(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    if (!jobDone_.waitFor(lock, wait, [&] { return !jobs_.empty() && jobs_.front().done; }))
        return std::nullopt;
    FileHash result = std::move(jobs_.front().result);
    jobs_.pop_front();
    --nextUnstarted_;
    if (pool_.flushThreads > 0)
        --nextUnflushed_;
    return result;
}

std::uint64_t HashWorkers::bytesHashed() const {
    return bytesHashed_.load();
}

FileHash HashWorkers::failedJob(Job& job, std::exception_ptr failure) {
    job.written.reset();
    return FileHash{{}, std::move(failure), false};
}

FileHash HashWorkers::hashJob(Job& job, Sha256& hash, std::span<char> buffer) {
    FileHash result = std::move(job.result);
    if (job.written.valid()) {
        result.flushFailed = !flushFile(job.written.get());
        job.written.reset();
    }
    if (result.flushFailed)
        return result;
    std::uint64_t counted = 0;
    try {
        result.sha256 = sha256FileHex(job.file, hash, buffer, cancels_, [&](std::uint64_t done) {
            bytesHashed_ += done - counted;
            counted = done;
        });
    } catch (...) {
        result.error = std::current_exception();
    }
    return result;
}

// A thread takes up to jobsPerTake queued files at once and hands their results back together: under
// Wine every wait and wake-up is a round trip to the server, which costs more than hashing a small file.
// A thread that could not prepare itself still takes its share, each with that failure as its result, so
// that the caller waiting for a result never waits for ever.
void HashWorkers::work() {
    std::optional<Sha256> hash;
    std::vector<char> buffer;
    std::exception_ptr unprepared;
    try {
        if (steps_.preparingThread)
            steps_.preparingThread();
        hash.emplace();
        buffer.resize(blockBytes);
    } catch (...) {
        unprepared = std::current_exception();
    }
    std::array<Job*, jobsPerTake> taken{};
    std::unique_lock lock(mutex_);
    for (;;) {
        jobQueued_.wait(lock, [&] { return stopping_ || hashable(); });
        if (stopping_)
            return;
        // An even share of what waits, so that no thread idles while another holds several files.
        const size_t share = (jobs_.size() - nextUnstarted_) / pool_.hashThreads;
        const size_t most = std::clamp(share, size_t{1}, jobsPerTake);
        size_t count = 0;
        while (count < most && hashable())
            taken[count++] = &jobs_[nextUnstarted_++];
        lock.unlock();
        for (size_t i = 0; i < count; ++i)
            taken[i]->result =
                unprepared ? failedJob(*taken[i], unprepared) : hashJob(*taken[i], *hash, buffer);
        lock.lock();
        for (size_t i = 0; i < count; ++i)
            taken[i]->done = true;
        jobDone_.notifyAll();
    }
}

bool HashWorkers::hashable() const {
    return nextUnstarted_ < jobs_.size() && jobs_[nextUnstarted_].flushed;
}

// Flush threads take the queued files in order, flush and close each, and leave them to the hashing
// threads; a failed flush is the file's result.
void HashWorkers::flushWork() {
    std::unique_lock lock(mutex_);
    for (;;) {
        jobQueued_.wait(lock, [&] { return stopping_ || nextUnflushed_ < jobs_.size(); });
        if (stopping_)
            return;
        Job& job = jobs_[nextUnflushed_++];
        lock.unlock();
        const bool failed = job.written.valid() && !flushFile(job.written.get());
        job.written.reset();
        lock.lock();
        job.result.flushFailed = failed;
        job.flushed = true;
        jobQueued_.notifyAll();
    }
}

BlockHasher::BlockHasher(std::uint32_t blockBytes)
    : blockBytes_(blockBytes), blocks_{std::make_unique<char[]>(blockBytes),
                                       std::make_unique<char[]>(blockBytes)},
      thread_([this] { work(); }) {}

BlockHasher::~BlockHasher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notifyAll();
}

void BlockHasher::waitIdle(std::unique_lock<SlimMutex>& lock) {
    changed_.wait(lock, [&] { return !pending_; });
    if (error_)
        std::rethrow_exception(error_);
}

void BlockHasher::add(std::uint32_t length) {
    {
        std::unique_lock lock(mutex_);
        waitIdle(lock);
        pending_ = true;
        pendingLength_ = length;
        filling_ ^= 1;
    }
    changed_.notifyAll();
}

void BlockHasher::restart() {
    std::unique_lock lock(mutex_);
    waitIdle(lock);
    hash_.restart();
}

std::string BlockHasher::finishHex() {
    std::unique_lock lock(mutex_);
    waitIdle(lock);
    auto digest = hash_.finish();
    return toHex(digest.data(), digest.size());
}

void BlockHasher::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || pending_; });
        if (stopping_)
            return;
        // The block handed over last is the one the caller is not filling.
        const char* data = blocks_[filling_ ^ 1].get();
        const std::uint32_t length = pendingLength_;
        lock.unlock();
        std::exception_ptr error;
        try {
            hash_.update(data, length);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error)
            error_ = error;
        pending_ = false;
        changed_.notifyAll();
    }
}

} // namespace tess
