#include "compress/parallel_compressor.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "format/pack.h"
#include "platform/interruption.h"
#include "platform/platform_file.h"

namespace qev {

namespace {

// Coded bytes of one entry: in memory up to MEMORY_LIMIT, then in a
// temporary file without a name in the first of the spill folders where
// one can be made. A failure of that file is kept, with its name, for the
// error line.
class SpillBuffer : public ByteSink {
public:
    static constexpr std::size_t MEMORY_LIMIT = 16u << 20;

    void set_folders(const std::vector<std::string>* folders) { folders_ = folders; }

    bool write(const std::uint8_t* data, std::size_t n) override {
        if (!spill_.is_open() && memory_.size() + n <= MEMORY_LIMIT) {
            memory_.insert(memory_.end(), data, data + n);
            return true;
        }
        if (failed_) return false;
        if (!spill_.is_open() && !create()) return false;
        if (!spill_.write(data, n)) return fail(errno);
        spilled_ += n;
        return true;
    }
    // Hands everything written, in order, to out; false when out fails or
    // stop says so.
    bool copy_to(ByteSink& out, const std::function<bool()>& stop) {
        if (!memory_.empty() && !out.write(memory_.data(), memory_.size())) return false;
        if (!spill_.is_open()) return true;
        if (!spill_.seek(0)) return fail(errno);
        std::vector<std::uint8_t> piece(1u << 20);
        for (std::uint64_t left = spilled_; left > 0;) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
            errno = 0;
            if (spill_.read(piece.data(), want) != want) return fail(errno != 0 ? errno : EIO);
            if (!out.write(piece.data(), want) || stop()) return false;
            left -= want;
        }
        return true;
    }
    // The temporary file failed: its name (or, when none could be made,
    // where it was to be) and why.
    bool failed() const { return failed_; }
    const std::string& name() const { return name_; }
    const std::string& problem() const { return problem_; }

private:
    bool create() {
        int first_error = 0;
        for (const std::string& folder : *folders_) {
            if (spill_.create_unnamed(folder, "qev-spill-", name_)) return true;
            if (first_error == 0) {
                first_error = errno;
                name_ = folder + "/qev-spill-XXXXXX";
            }
        }
        return fail(first_error);
    }
    bool fail(int error) {
        failed_ = true;
        problem_ = platform::error_text(error);
        return false;
    }

    std::vector<std::uint8_t> memory_;
    const std::vector<std::string>* folders_ = nullptr;
    platform::File spill_;
    std::uint64_t spilled_ = 0;
    bool failed_ = false;
    std::string name_;
    std::string problem_;
};

// Where coded entries that wait for their turn are spilled: the folder
// TMPDIR names, else the archive's own folder (whose file system takes the
// entry anyway), and /tmp when neither takes a file.
std::vector<std::string> spill_folders(const std::string& archive_path) {
    std::vector<std::string> folders;
    for (const std::string& folder :
         {platform::temporary_folder_setting(), platform::folder_of(archive_path), std::string("/tmp")}) {
        if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    return folders;
}

// The entropy score a file leaves for the next: a file under 512 bytes
// codes its raw flag with the score the last larger file left, so such a
// file waits for that file's coder.
struct ScoreCell {
    bool ready = false;
    std::int32_t score = 0;
};

struct Job {
    std::size_t index = 0;
    PlannedEntry entry;
    StoreResult result;
    StoreStatus planned = StoreStatus::Stored;
    std::shared_ptr<ScoreCell> score_before;
    std::shared_ptr<ScoreCell> score_after;
    SpillBuffer stream;
    EntryCoder::Outcome outcome;
    bool no_memory = false;
    bool coded = false;
};

}  // namespace

// The stream of a pack is held whole while it waits for a coder and while
// it is coded.
std::uint64_t compression_worker_bytes(const SearchSettings& search) {
    return BlockEncoder::search_bytes(search) + search.ring_size + EntryCoder::buffer_bytes() +
           SpillBuffer::MEMORY_LIMIT + PACK_MAX_STREAM;
}

struct ParallelCompressor::Shared {
    Shared(const CompressOptions& o, std::string archive_path, unsigned n)
        : options(o), spill(spill_folders(archive_path)), front(o, std::move(archive_path)), workers(n == 0 ? 1 : n) {}

    CompressOptions options;
    std::vector<std::string> spill;
    Compressor front;
    unsigned workers;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job*> queue;  // planned, waiting for a coder
    bool closing = false;    // no more jobs
    bool closing_announced = false;  // the front's own copy of closing
    bool aborting = false;   // the run ends: code nothing more

    bool stop_requested() {
        if (options.should_stop && options.should_stop()) return true;
        std::lock_guard<std::mutex> lock(mutex);
        return aborting;
    }

    void work() {
        EntryCoder coder(options.search, false, options.spare_cores);
        const bool ready = coder.prepare();
        const std::function<bool()> stop = [this] { return stop_requested(); };
        for (;;) {
            Job* job = nullptr;
            std::int32_t score = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !queue.empty() || closing; });
                if (queue.empty()) {
                    // Nothing more to code: the core this worker leaves may
                    // carry another's pipeline.
                    if (options.spare_cores != nullptr) options.spare_cores->give();
                    return;
                }
                job = queue.front();
                queue.pop_front();
                const bool tiny = job->entry.header.unpacked_size < ENTROPY_MIN_BLOCK;
                if (tiny) {
                    changed.wait(lock, [&] { return job->score_before->ready; });
                    score = job->score_before->score;
                }
            }
            EntropyMeter entropy(score);
            if (!ready) {
                job->no_memory = true;
            } else if (stop_requested()) {
                job->outcome.interrupted = true;
            } else {
                job->outcome = coder.code(job->entry.input, job->entry.header.unpacked_size, job->entry.shrank,
                                          job->entry.header.settings, job->stream, entropy, stop,
                                          options.bytes_done);
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (job->score_after != job->score_before) {
                    job->score_after->score = entropy.score();
                    job->score_after->ready = true;
                }
                job->coded = true;
            }
            changed.notify_all();
        }
    }
};

ParallelCompressor::ParallelCompressor(const CompressOptions& options, std::string archive_path, unsigned workers)
    : shared_(std::make_unique<Shared>(options, std::move(archive_path), workers)) {}

ParallelCompressor::~ParallelCompressor() = default;

void ParallelCompressor::set_observer(CompressObserver* observer) { shared_->front.set_observer(observer); }

void ParallelCompressor::store_all(const std::vector<FileToStore>& files,
                                   const std::function<void(std::size_t, const StoreResult&)>& report) {
    Shared& s = *shared_;
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < s.workers; ++i) threads.push_back(platform::start_thread([&s] { s.work(); }));

    // Entries planned and not yet written, in order; at most a few more
    // than there are coders, so that coded entries wait in bounded memory.
    const std::size_t in_flight = s.workers + 2;
    std::deque<std::unique_ptr<Job>> pending;
    auto last_score = std::make_shared<ScoreCell>();
    last_score->ready = true;
    std::size_t next = 0;
    bool planning = true;
    for (;;) {
        while (planning && next < files.size() && pending.size() < in_flight) {
            auto job = std::make_unique<Job>();
            job->index = next;
            job->stream.set_folders(&s.spill);
            const FileToStore& f = files[next++];
            job->planned = s.front.plan(f, job->entry, job->result);
            if (job->planned == StoreStatus::Stored) {
                job->score_before = last_score;
                job->score_after = job->entry.header.unpacked_size < ENTROPY_MIN_BLOCK ? last_score
                                                                                        : std::make_shared<ScoreCell>();
                last_score = job->score_after;
                {
                    std::lock_guard<std::mutex> lock(s.mutex);
                    s.queue.push_back(job.get());
                }
                s.changed.notify_all();
            } else if (ends_run(job->planned)) {
                planning = false;
            }
            pending.push_back(std::move(job));
        }
        if (!s.closing_announced && (!planning || next >= files.size())) {
            // No more jobs: a worker that finds the queue empty ends.
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                s.closing = true;
            }
            s.closing_announced = true;
            s.changed.notify_all();
        }
        if (pending.empty()) break;

        Job& head = *pending.front();
        StoreResult& result = head.result;
        if (head.planned != StoreStatus::Stored) {
            result.status = head.planned;
            if (head.planned == StoreStatus::Interrupted) result.archive_removed = s.front.end_interrupted();
        } else {
            {
                std::unique_lock<std::mutex> lock(s.mutex);
                s.changed.wait(lock, [&] { return head.coded; });
            }
            if (head.no_memory) {
                result.status = StoreStatus::NoMemory;
            } else {
                result.coding_began = true;
                result.status = s.front.write_entry(head.entry, head.outcome,
                                                    [&](ByteSink& out) {
                                                        return head.stream.copy_to(out, [&] {
                                                            return s.options.should_stop && s.options.should_stop();
                                                        });
                                                    },
                                                    result);
                if (result.status == StoreStatus::WriteFailed && head.stream.failed()) {
                    result.spill_file = head.stream.name();
                    result.problem = head.stream.problem();
                }
            }
        }
        report(head.index, result);
        const bool ended = ends_run(result.status);
        pending.pop_front();
        if (ended) break;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.closing = true;
        s.aborting = true;
        // Waiting files are not coded, and none waits for a score.
        for (auto& job : pending) {
            if (job->score_after) job->score_after->ready = true;
        }
    }
    s.changed.notify_all();
    for (std::thread& t : threads) t.join();
}

}  // namespace qev
