// Hashing beside the calling thread. HashWorkers: threads that hash files for one pass, each with its own
// hash object and 64 KiB buffer, and for files written for the pass threads of their own that flush them
// first; results come back in the order the files were queued. BlockHasher: one thread that hashes a
// stream block by block while the caller fills the next block. Each owns its threads: a cancel flag or
// the end of the object stops them after their current block, and none outlives the object.
#pragma once

#include "foundation/crypto.hpp"
#include "foundation/handles.hpp"
#include "foundation/progress.hpp"
#include "foundation/sync.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace tess {

struct FileHash {
    std::string sha256; // hexadecimal; empty when error is set or the flush failed
    std::exception_ptr error;
    bool flushFailed = false;
};

// What a pool does before it hashes, each step replaceable so that a test can make one fail: before each
// thread is started, and on each thread before its hash object and buffer are made.
struct HashWorkerSteps {
    std::function<void(unsigned thread)> startingThread;
    std::function<void()> preparingThread;
};

// The threads of one pass: hashing threads for the kind of files, and threads that only flush files
// written for the pass (none when nothing is written).
struct HashPool {
    unsigned hashThreads;
    unsigned flushThreads;
};

class HashWorkers {
  public:
    // The threads for a pass over `files` files of `bytes` bytes in all, flushing them first when
    // `flushes` is set.
    [[nodiscard]] static HashPool poolFor(std::uint64_t files, std::uint64_t bytes, bool flushes);

    // A set cancel flag ends the file being hashed with the cancel error of sha256FileHex. A thread that
    // cannot be started fails the construction; a thread that cannot get its hash object or buffer
    // hands that failure back as the result of every file it takes.
    HashWorkers(std::vector<CancelFlag> cancels, HashPool pool, HashWorkerSteps steps = {});
    ~HashWorkers();
    HashWorkers(const HashWorkers&) = delete;
    HashWorkers& operator=(const HashWorkers&) = delete;

    // Queues a file whose path the caller has checked for links; the caller takes results until full()
    // is false first. A handle the file is still open with for writing is flushed and closed on a flush
    // thread (on the hashing thread when the pool has none) before the file is read, so the caller need
    // not wait for the disk.
    void add(std::filesystem::path file, FileHandle written = {});
    [[nodiscard]] bool full() const;
    [[nodiscard]] bool empty() const;
    // The oldest queued file's result once it is ready; nothing when it is not ready within `wait`.
    [[nodiscard]] std::optional<FileHash> takeOldest(std::chrono::milliseconds wait);
    // Bytes hashed so far by all threads; only grows, so progress built on it only moves forward.
    [[nodiscard]] std::uint64_t bytesHashed() const;

  private:
    struct Job {
        std::filesystem::path file;
        FileHandle written;
        FileHash result;
        bool flushed = false; // by a flush thread; always set in a pool without flush threads
        bool done = false;
    };

    void startThread(unsigned index, void (HashWorkers::*body)());
    static FileHash failedJob(Job& job, std::exception_ptr failure);
    FileHash hashJob(Job& job, Sha256& hash, std::span<char> buffer);
    [[nodiscard]] bool hashable() const;
    void work();
    void flushWork();
    void stop();

    std::vector<CancelFlag> cancels_;
    HashWorkerSteps steps_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> bytesHashed_{0};
    mutable SlimMutex mutex_;
    SlimCondition jobQueued_;
    SlimCondition jobDone_;
    std::deque<Job> jobs_; // in queue order; a deque keeps the other jobs in place while one is added
    size_t nextUnstarted_ = 0;
    size_t nextUnflushed_ = 0;
    const HashPool pool_;
    const size_t capacity_;
    std::vector<std::jthread> threads_; // last member: joined before the state above goes away
};

// Two blocks: the caller fills one while the thread hashes the other.
class BlockHasher {
  public:
    explicit BlockHasher(std::uint32_t blockBytes);
    ~BlockHasher();
    BlockHasher(const BlockHasher&) = delete;
    BlockHasher& operator=(const BlockHasher&) = delete;

    // The block to fill next; it stays the caller's until add is called.
    [[nodiscard]] char* block() { return blocks_[filling_].get(); }
    [[nodiscard]] std::uint32_t blockBytes() const { return blockBytes_; }
    // Hands the first `length` bytes of block() over to the thread.
    void add(std::uint32_t length);
    // Drops everything added so far.
    void restart();
    // The SHA-256 of everything added since the start or the last restart, as hexadecimal text.
    [[nodiscard]] std::string finishHex();

  private:
    void waitIdle(std::unique_lock<SlimMutex>& lock);
    void work();

    std::uint32_t blockBytes_;
    std::unique_ptr<char[]> blocks_[2];
    int filling_ = 0;
    Sha256 hash_;
    SlimMutex mutex_;
    SlimCondition changed_;
    std::uint32_t pendingLength_ = 0;
    bool pending_ = false;
    bool stopping_ = false;
    std::exception_ptr error_;
    std::jthread thread_; // last member: joined before the state above goes away
};

} // namespace tess
