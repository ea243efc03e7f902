#include "pool.hpp"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "stream.hpp"

namespace vq {
namespace par {
namespace {

// Coordination state, all of it under one mutex. ready[slot] is the sample whose observations
// the slot holds (-1: none yet); applied[lane] the number of samples the lane has applied.
struct Pool {
    Pool(const Job &j, Lane *l, int32_t n)
        : job(j), lanes(l), n_lanes(n), ready(j.control), applied(j.control ? j.control + j.ring_slots : nullptr) {
        for (int32_t i = 0; ready && i < j.ring_slots; ++i) ready[i] = -1;
        for (int32_t t = 0; applied && t < n; ++t) applied[t] = 0;
    }

    const Job &job;
    Lane *lanes;
    int32_t n_lanes;
    std::mutex m;
    std::condition_variable cv;
    StreamCursor cursor;
    Xoshiro256ss single;  // one lane: the one generator, carried from sample to sample
    int32_t run = 1;      // samples handed out at a time
    int32_t next_sample = 0;
    int32_t *const ready, *const applied;  // detailed only
    bool stop = false;
    int32_t failed_sample = INT32_MAX;
    int failed_code = 0;

    int32_t *slot(int32_t s) const {
        return job.ring + static_cast<size_t>(s % job.ring_slots) * 3 * static_cast<size_t>(job.N);
    }
    int32_t min_applied() const {
        int32_t lo = applied[0];
        for (int32_t t = 1; t < n_lanes; ++t) lo = applied[t] < lo ? applied[t] : lo;
        return lo;
    }
};

// X row r = row perm[r] of the drawn sample. Rows of up to eight objectives are copied with a
// length known at compile time (a few moves instead of a loop per row); M = 0 stands for any.
template <size_t M>
void gather_rows(const double *drawn, const int64_t *perm, double *X, int32_t N, size_t m) {
    if (M) m = M;
    for (size_t r = 0; r < static_cast<size_t>(N); ++r)
        std::memcpy(X + r * m, drawn + static_cast<size_t>(perm[r]) * m, m * sizeof(double));
}
constexpr void (*kGatherRows[])(const double *, const int64_t *, double *, int32_t, size_t) = {
    gather_rows<0>, gather_rows<1>, gather_rows<2>, gather_rows<3>, gather_rows<4>,
    gather_rows<5>, gather_rows<6>, gather_rows<7>, gather_rows<8>};

// Draw sample s (presented in shuffled row order when the lane shuffles) and rate it.
int rate_sample(const Job &job, const Lane &lane, int32_t s, Xoshiro256ss &gen) {
    double *X = lane.buf->X();
    if (!lane.perm) {
        _sample_population(gen, job.mu, job.sigma, X, job.n_elems);
    } else {
        _sample_population(gen, job.mu, job.sigma, lane.drawn, job.n_elems);
        shuffle_order(job.seed, s, lane.perm, job.N);
        kGatherRows[job.M <= 8 ? job.M : 0](lane.drawn, lane.perm, X, job.N, static_cast<size_t>(job.M));
    }
    return lane.buf->rate(job.mode_i, job.within_mode_i, lane.scratch->pairs, lane.scratch->keys);
}

void count(const Job &job, const Lane &lane) {
    count_places(
        lane.buf->order(), job.N, job.k, [&lane](int64_t r) { return lane.individual(r); }, lane.win, lane.lose,
        lane.rank);
}

// Place, front and rank inside the front of every individual, into its row of the slot.
void observe(const Job &job, const Lane &lane, int n_fronts, int32_t *obs) {
    const int64_t *order = lane.buf->order(), *front_id = lane.buf->front_id();
    for (int32_t f = 0; f < n_fronts; ++f) lane.front_counts[f] = 0;
    for (int32_t pos = 0; pos < job.N; ++pos) {
        const int64_t r = order[pos];
        const int32_t idx = lane.individual(r);
        const I32T fid = static_cast<I32T>(front_id[r]);
        const I32T within_rank = lane.front_counts[fid];
        lane.front_counts[fid] = within_rank + 1;
        int32_t *row = obs + 3 * static_cast<size_t>(idx);
        row[0] = pos;
        row[1] = fid;
        row[2] = within_rank;
    }
}

// Sample s's observations of individuals lo .. hi-1 into counters and statistics.
void apply(const Job &job, const int32_t *obs, int32_t s, int32_t lo, int32_t hi) {
    Accumulators &acc = *job.acc;
    const double n_d = static_cast<double>(s + 1);
    for (int32_t idx = lo; idx < hi; ++idx) {
        const int32_t *row = obs + 3 * static_cast<size_t>(idx);
        const int32_t pos = row[0];
        if (pos < job.k) job.win[idx] += 1;
        if (pos >= job.N - job.k) job.lose[idx] += 1;
        job.rank[idx] += pos;
        const double x[kMetrics] = {static_cast<double>(row[0]), static_cast<double>(row[1]),
                                    static_cast<double>(row[2])};
        acc.update(idx, s, n_d, x);
        if (s == kStreamingStart - 1 && acc.cfg.use_p2) acc.init_estimator(static_cast<size_t>(idx));
    }
}

void work(Pool &p, int32_t t) {
    const Job &job = p.job;
    const Lane &lane = p.lanes[t];
    const int32_t n = job.n_samples;
    const bool detailed = job.acc != nullptr;
    int32_t done = 0;  // detailed: samples applied to this lane's individuals
    std::unique_lock<std::mutex> lock(p.m);
    while (!p.stop) {
        if (detailed) {
            int32_t upto = done;
            while (upto < n && p.ready[upto % job.ring_slots] == upto) ++upto;
            if (upto > done) {
                lock.unlock();
                for (int32_t s = done; s < upto; ++s) apply(job, p.slot(s), s, lane.lo, lane.hi);
                lock.lock();
                done = p.applied[t] = upto;
                p.cv.notify_all();
                continue;
            }
            if (done == n) break;
        }
        // A detailed sample may reuse its slot once every lane has applied the slot's last sample.
        if (p.next_sample < n &&
            (!detailed || p.next_sample < static_cast<int64_t>(p.min_applied()) + job.ring_slots)) {
            // Counting takes runs of samples, drawn with one generator, to hand out less often.
            const int32_t first = p.next_sample, run = n - first < p.run ? n - first : p.run;
            p.next_sample += run;
            SampleStart start = p.n_lanes > 1 ? p.cursor.next(run) : SampleStart{};
            lock.unlock();
            if (p.n_lanes > 1) enter_sample(start);
            Xoshiro256ss &gen = p.n_lanes > 1 ? start.gen : p.single;
            int32_t s = first;
            int code = 0;
            for (; s < first + run; ++s) {
                code = rate_sample(job, lane, s, gen);
                if (code < 0) break;
                if (detailed) observe(job, lane, code, p.slot(s));
                else count(job, lane);
            }
            lock.lock();
            if (code < 0) {
                // Samples are handed out in order, so the earliest failure is among those in flight.
                if (s < p.failed_sample) {
                    p.failed_sample = s;
                    p.failed_code = code;
                }
                p.stop = true;
                p.cv.notify_all();
                break;
            }
            if (detailed) {
                p.ready[first % job.ring_slots] = first;  // detailed runs are one sample
                p.cv.notify_all();
            }
            continue;
        }
        if (!detailed) break;  // every sample handed out
        p.cv.wait(lock);
    }
}

}  // namespace

int run_pool(const Job &job, Lane *lanes, int32_t n_lanes) {
    Pool p(job, lanes, n_lanes);
    // Counting: runs of about 8192 sampled values (at most 64 samples), and at least eight runs
    // per lane so that the lanes finish together. Detailed: one sample per ring slot.
    if (!job.acc) {
        const size_t per_run = 8192 / (job.n_elems > 0 ? job.n_elems : 1);
        const int32_t balanced = job.n_samples / (8 * n_lanes);
        p.run = per_run < 64 ? static_cast<int32_t>(per_run) : 64;
        p.run = p.run < balanced ? p.run : balanced;
        p.run = p.run > 1 ? p.run : 1;
    }
    if (n_lanes > 1) p.cursor.start(job.seed, deviates_per_sample(job.sigma, job.n_elems));
    else _xoshiro_seed(p.single, job.seed);

    std::unique_ptr<std::thread[]> threads(new (std::nothrow) std::thread[n_lanes]);
    bool started = threads != nullptr;
    for (int32_t t = 1; started && t < n_lanes; ++t) {
        try {
            threads[t] = std::thread(work, std::ref(p), t);
        } catch (...) {
            started = false;
        }
    }
    if (!started) {
        std::lock_guard<std::mutex> lock(p.m);
        p.stop = true;
        p.cv.notify_all();
    }
    work(p, 0);
    if (threads)
        for (int32_t t = 1; t < n_lanes; ++t)
            if (threads[t].joinable()) threads[t].join();
    if (!started) return kThreadStartFailed;
    return p.failed_sample == INT32_MAX ? 0 : p.failed_code;
}

}  // namespace par
}  // namespace vq
