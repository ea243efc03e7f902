#include "pool.hpp"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "stream.hpp"
#include "threads.hpp"

namespace vq {
namespace par {
namespace {

// Coordination state, all of it under one mutex. Detailed: ready[slot] is the sample whose
// observations the slot holds (-1: none yet); applied[lane] the number of samples the lane has
// applied.
struct Pool {
    Pool(const Job &j, Lane *l, int32_t n, Watch &w)
        : job(j), lanes(l), n_lanes(n), watch(w), ready(j.control),
          applied(j.control ? j.control + j.ring_slots : nullptr) {
        for (int32_t i = 0; ready && i < j.ring_slots; ++i) ready[i] = -1;
        for (int32_t t = 0; applied && t < n; ++t) applied[t] = 0;
    }

    const Job &job;
    Lane *lanes;
    int32_t n_lanes;
    Watch &watch;  // lane 0's
    std::mutex m;
    std::condition_variable cv;
    StreamCursor cursor;
    Xoshiro256ss single;  // one lane: the one generator, carried from sample to sample
    int32_t run = 1;      // counting: samples handed out at a time
    int32_t next_sample = 0;
    int32_t counted = 0;  // counting: samples whose counts are in
    int32_t *const ready, *const applied;  // detailed only
    bool stop = false;
    bool watch_stopped = false;
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

    // The generator state for the next `samples` samples (lock held).
    SampleStart take(int32_t samples) {
        next_sample += samples;
        return n_lanes > 1 ? cursor.next(samples) : SampleStart{};
    }
    // The generator that draws from `start` on (lock released).
    Xoshiro256ss &generator(SampleStart &start) {
        if (n_lanes == 1) return single;
        enter_sample(start);
        return start.gen;
    }

    // Sample s failed with `code` (lock held). Samples are handed out in order, so the earliest
    // failure is among those in flight.
    void fail(int32_t s, int code) {
        if (s < failed_sample) {
            failed_sample = s;
            failed_code = code;
        }
        stop = true;
        cv.notify_all();
    }

    // Lane 0, lock held: look at signals and progress (`done` samples complete); an exception
    // stops every lane.
    void look(std::unique_lock<std::mutex> &lock, int32_t done) {
        lock.unlock();
        const bool go_on = watch.look(done);
        lock.lock();
        if (!go_on) {
            watch_stopped = stop = true;
            cv.notify_all();
        }
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
int rate_sample(const Job &job, Lane &lane, int32_t s, Xoshiro256ss &gen) {
    double *X = lane.buf->X();
    if (lane.perm.empty()) {
        _sample_population(gen, job.mu, job.sigma, X, job.n_elems);
    } else {
        _sample_population(gen, job.mu, job.sigma, lane.drawn.data(), job.n_elems);
        shuffle_order(job.seed, s, lane.perm.data(), job.N);
        kGatherRows[job.M <= 8 ? job.M : 0](lane.drawn.data(), lane.perm.data(), X, job.N,
                                            static_cast<size_t>(job.M));
    }
    return lane.buf->rate(job.mode_i, job.within_mode_i, lane.scratch->pairs, lane.scratch->keys);
}

// ---- counting ------------------------------------------------------------------------------

// Lane t of a counting pass: runs of samples into the lane's own counters, drawn with one
// generator each (runs are handed out less often than single samples).
void counting_lane(Pool &p, int32_t t) {
    const Job &job = p.job;
    Lane &lane = p.lanes[t];
    const auto individual = [&lane](int64_t r) { return lane.individual(r); };
    std::unique_lock<std::mutex> lock(p.m);
    while (!p.stop && p.next_sample < job.n_samples) {
        if (t == 0 && p.watch.due()) {
            p.look(lock, p.counted);
            continue;
        }
        const int32_t first = p.next_sample, run = job.n_samples - first < p.run ? job.n_samples - first : p.run;
        SampleStart start = p.take(run);
        lock.unlock();
        Xoshiro256ss &gen = p.generator(start);
        int32_t s = first;
        int code = 0;
        for (; s < first + run; ++s) {
            if ((code = rate_sample(job, lane, s, gen)) < 0) break;
            count_places(lane.buf->order(), job.N, job.k, individual, lane.win, lane.lose, lane.rank);
        }
        lock.lock();
        if (code < 0) return p.fail(s, code);
        p.counted += run;
    }
}

// ---- detailed ------------------------------------------------------------------------------

// Place, front and rank inside the front of every individual, into its row of the slot.
void observe(const Job &job, Lane &lane, int n_fronts, int32_t *obs) {
    const int64_t *order = lane.buf->order(), *front_id = lane.buf->front_id();
    int32_t *front_counts = lane.front_counts.data();
    for (int32_t f = 0; f < n_fronts; ++f) front_counts[f] = 0;
    for (int32_t pos = 0; pos < job.N; ++pos) {
        const int64_t r = order[pos];
        const int32_t idx = lane.individual(r);
        const I32T fid = static_cast<I32T>(front_id[r]);
        const I32T within_rank = front_counts[fid];
        front_counts[fid] = within_rank + 1;
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

// Lane t of a detailed pass: apply every sample that is ready to the lane's block of individuals,
// else draw the next sample into its slot (once every lane has applied the slot's last sample),
// else wait.
void detailed_lane(Pool &p, int32_t t) {
    const Job &job = p.job;
    Lane &lane = p.lanes[t];
    const int32_t n = job.n_samples;
    int32_t done = 0;  // samples applied to this lane's individuals
    std::unique_lock<std::mutex> lock(p.m);
    while (!p.stop) {
        if (t == 0 && p.watch.due()) {
            p.look(lock, p.min_applied());
            continue;
        }
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
        if (p.next_sample < n && p.next_sample < static_cast<int64_t>(p.min_applied()) + job.ring_slots) {
            const int32_t s = p.next_sample;
            SampleStart start = p.take(1);
            lock.unlock();
            const int code = rate_sample(job, lane, s, p.generator(start));
            if (code >= 0) observe(job, lane, code, p.slot(s));
            lock.lock();
            if (code < 0) return p.fail(s, code);
            p.ready[s % job.ring_slots] = s;
            p.cv.notify_all();
            continue;
        }
        if (t == 0) p.cv.wait_until(lock, p.watch.next());
        else p.cv.wait(lock);
    }
}

}  // namespace

int run_pool(const Job &job, Lane *lanes, int32_t n_lanes, Watch &watch) {
    Pool p(job, lanes, n_lanes, watch);
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

    void (*lane)(Pool &, int32_t) = job.acc ? detailed_lane : counting_lane;
    ThreadGroup threads;
    if (!threads.start(n_lanes, [&p, lane](int32_t t) { lane(p, t); })) {
        {
            std::lock_guard<std::mutex> lock(p.m);
            p.stop = true;
            p.cv.notify_all();
        }
        threads.join();
        return kThreadStartFailed;
    }
    lane(p, 0);
    threads.join();
    if (p.watch_stopped) return kStopped;  // its exception is set; a later rating error is moot
    return p.failed_sample != INT32_MAX ? p.failed_code : 0;
}

}  // namespace par
}  // namespace vq
