// pool.cpp: the worker pool. Threads poll briefly between the passes of a sweep, then sleep; the
// process-wide pool is guarded across fork so a child never inherits it mid-update.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>

namespace morva {

// ------------------------------------------------------------------------------------------ pool size

namespace {

// A decimal integer of digits only (a leading '+' allowed); false for anything else or on overflow.
bool parse_count(const char* text, std::size_t& out) {
    if (text == nullptr) return false;
    if (*text == '+') ++text;
    if (*text == '\0') return false;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, static_cast<std::size_t>(*text - '0'), &value))
            return false;
    }
    out = value;
    return true;
}

}  // namespace

std::size_t pool_size_rule(const char* num_threads, const char* rs_num_cpus, std::size_t cpus) {
    const std::size_t all_cpus = cpus == 0 ? 1 : cpus;
    std::size_t n = 0;
    if (parse_count(num_threads, n)) return n == 0 ? all_cpus : n;
    if (parse_count(rs_num_cpus, n) && n > 0) return n;
    return all_cpus;
}

std::size_t available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return std::thread::hardware_concurrency();
}

// ----------------------------------------------------------------------------------------------- pool

WorkerPool::WorkerPool(std::size_t size) {
    for (std::size_t worker = 1; worker < size; ++worker) {
        try {
            helpers_.emplace_back([this, worker] { helper_loop(worker); });
        } catch (const std::exception&) {
            break;  // the system refused another thread: the pool only runs slower
        }
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

namespace {

// The passes of a sweep follow each other within microseconds: a thread waiting for the next job or
// for the last task polls briefly before it sleeps on the condition variable.
template <class Ready>
bool poll_briefly(Ready ready) {
    for (int i = 0; i < 4096; ++i) {
        if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

}  // namespace

// A helper that sleeps through a whole job never enters it, so a busy or oversubscribed machine
// delays a job only by the tasks actually running, never by a thread that has yet to wake up.
void WorkerPool::helper_loop(std::size_t worker) {
    std::uint64_t seen = 0;
    for (;;) {
        poll_briefly([&] { return generation_.load(std::memory_order_relaxed) != seen || stopping_.load(); });
        Job* job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || (job_ != nullptr && generation_ != seen); });
            if (stopping_) return;
            seen = generation_;
            job = job_;
            ++job->entered;
        }
        work(*job, worker);
        std::lock_guard lock(mutex_);
        if (--job->entered == 0) finished_.notify_all();
    }
}

void WorkerPool::work(Job& job, std::size_t worker) {
    for (;;) {
        const std::size_t task = job.next.fetch_add(1, std::memory_order_relaxed);
        if (task >= job.count) return;
        try {
            job.fn(job.context, task, worker);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!job.fault || task < job.fault_task) {
                job.fault = std::current_exception();
                job.fault_task = task;
            }
        }
        if (job.done.fetch_add(1, std::memory_order_acq_rel) + 1 == job.count) {
            std::lock_guard lock(mutex_);
            finished_.notify_all();
        }
    }
}

void WorkerPool::run(std::size_t count, TaskFn fn, void* context) {
    if (count == 0) return;
    std::lock_guard one_job(job_mutex_);
    if (helpers_.empty() || count == 1) {
        std::exception_ptr first;
        for (std::size_t task = 0; task < count; ++task) {
            try {
                fn(context, task, 0);
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
        return;
    }
    Job job;
    job.fn = fn;
    job.context = context;
    job.count = count;
    {
        std::lock_guard lock(mutex_);
        job_ = &job;
        generation_.fetch_add(1);
    }
    wake_.notify_all();
    work(job, 0);
    const auto all_done = [&] { return job.done.load(std::memory_order_acquire) == count; };
    poll_briefly(all_done);
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, all_done);
        job_ = nullptr;  // no helper enters any more; wait for those inside to leave
        finished_.wait(lock, [&] { return job.entered == 0; });
    }
    if (job.fault) std::rethrow_exception(job.fault);
}

namespace {

// The process-wide pool. Around fork the lock is held so the child never inherits it mid-update; the
// child drops the inherited pool, whose threads did not survive the fork, without destroying it (its
// mutexes may be held by those vanished threads) and builds a fresh one on first use.
std::mutex process_pool_mutex;
WorkerPool* process_pool_instance = nullptr;
std::once_flag fork_hooks_installed;

void before_fork() { process_pool_mutex.lock(); }
void after_fork_in_parent() { process_pool_mutex.unlock(); }
void after_fork_in_child() {
    process_pool_instance = nullptr;
    process_pool_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::process_pool() {
    std::call_once(fork_hooks_installed,
                   [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    std::lock_guard lock(process_pool_mutex);
    if (process_pool_instance == nullptr)
        process_pool_instance = new WorkerPool(
            pool_size_rule(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_cpus()));
    return *process_pool_instance;
}

}  // namespace morva
