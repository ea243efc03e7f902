// Set-up and results of the multi-threaded entries. The checks, work arrays and results are
// those of the single-threaded kernels, made by the same functions in the same order; only the
// sampling loop (pool.cpp) and the exact quantiles (quantiles.cpp) differ, and give the same
// values bit for bit.
#include "parallel.hpp"

#include <memory>
#include <new>

#include "detailed.hpp"
#include "gil.hpp"
#include "pool.hpp"
#include "quantiles.hpp"
#include "selection.hpp"
#include "threads.hpp"
#include "watch.hpp"

namespace vq {
namespace par {
namespace {

// The lanes and the ring of a call; everything is created before the sampling starts.
struct Lanes {
    int32_t n = 0, ring_slots = 0;  // detailed: a few samples in flight per lane
    std::unique_ptr<Lane[]> lane;
    std::vector<int32_t> ring, control;

    // detailed: lanes apply blocks of individuals and share the observation ring.
    int create(const Np &np, const Inputs &in, const SamplingSetup &setup, int32_t n_lanes, bool detailed,
               bool shuffle) {
        try {
            return create_lanes(np, in, setup, n_lanes, detailed, shuffle);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return -1;
        }
    }

private:
    int create_lanes(const Np &np, const Inputs &in, const SamplingSetup &setup, int32_t n_lanes, bool detailed,
                     bool shuffle) {
        const int32_t N = in.N;
        const size_t n_rows = static_cast<size_t>(N);
        lane.reset(new Lane[n_lanes]);
        n = n_lanes;
        for (int32_t t = 0; t < n; ++t) {
            Lane &l = lane[t];
            if (t == 0) {
                l.buf = &setup.buf;
            } else {
                if (l.own.create(np, N, in.M) < 0) return -1;
                l.buf = &l.own;
            }
            l.scratch.reset(new ScratchRecords(N));
            if (!l.scratch->ok()) throw std::bad_alloc();
            if (shuffle) {
                l.perm.assign(n_rows, 0);  // the shuffle may read a slot before writing it
                l.drawn.resize(in.size());
            }
            if (detailed) {
                l.front_counts.resize(n_rows);
                l.lo = static_cast<int32_t>(static_cast<int64_t>(N) * t / n);
                l.hi = static_cast<int32_t>(static_cast<int64_t>(N) * (t + 1) / n);
            } else if (t == 0) {
                l.win = setup.counts.wins();
                l.lose = setup.counts.losses();
                l.rank = setup.counts.rank_sums();
            } else {
                l.own_win.assign(n_rows, 0);
                l.own_lose.assign(n_rows, 0);
                l.own_rank.assign(n_rows, 0);
                l.win = l.own_win.data();
                l.lose = l.own_lose.data();
                l.rank = l.own_rank.data();
            }
        }
        if (!detailed) return 0;
        ring_slots = 4 * n;
        ring.resize(static_cast<size_t>(ring_slots) * 3 * n_rows);
        control.resize(static_cast<size_t>(ring_slots + n));
        return 0;
    }
};

Job make_job(const Inputs &in, const SamplingSetup &setup, int32_t n_samples, const CountsOptions &opt,
             Lanes &lanes) {
    Job job;
    job.mu = in.mu_data();
    job.sigma = data_of<const double>(setup.sigma);
    job.n_elems = in.size();
    job.N = in.N;
    job.M = in.M;
    job.k = setup.k;
    job.n_samples = n_samples;
    job.mode_i = opt.mode_i;
    job.within_mode_i = opt.within_mode_i;
    job.seed = opt.seed;
    if (!lanes.ring.empty()) {
        job.ring = lanes.ring.data();
        job.control = lanes.control.data();
        job.ring_slots = lanes.ring_slots;
    }
    return job;
}

// The sampling, watched by the calling thread, between the first and the last progress report.
int run(const Job &job, const Lanes &lanes, const Threading &th) {
    Watch watch(th.progress, job.n_samples);
    if (watch.start() < 0) return -1;
    int code;
    {
        GilRelease nogil;
        code = run_pool(job, lanes.lane.get(), lanes.n, watch);
    }
    if (code == kThreadStartFailed) return raise_thread_start_failed();
    if (code == kStopped) return -1;  // the watch's exception is set
    if (code < 0) {
        raise_rating_error(code);
        return -1;
    }
    return watch.finish();
}

// Lanes never outnumber the samples.
int32_t lanes_for(const Threading &th, int32_t n_samples) {
    return th.threads < n_samples ? th.threads : n_samples;
}

}  // namespace

PyObject *counts(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                 const CountsOptions &opt, const Threading &th) {
    Np np;
    if (np.bind(module) < 0) return nullptr;
    Inputs in;
    if (load_inputs(np, mu_obj, sigma2_obj, &in) < 0) return nullptr;
    if (in.N == 0) return mc_rank_counts(module, in.mu.get(), in.sigma2.get(), n_samples, opt);
    SamplingSetup setup;
    if (setup.create(np, in, n_samples, opt.percentile) < 0) return nullptr;
    Lanes lanes;
    if (lanes.create(np, in, setup, lanes_for(th, n_samples), false, th.shuffle) < 0) return nullptr;
    const Job job = make_job(in, setup, n_samples, opt, lanes);
    if (run(job, lanes, th) < 0) return nullptr;
    const Counters &c = setup.counts;
    int32_t *win = c.wins(), *lose = c.losses();
    int64_t *rank = c.rank_sums();
    for (int32_t t = 1; t < lanes.n; ++t) {
        const Lane &l = lanes.lane[t];
        for (int32_t i = 0; i < in.N; ++i) {
            win[i] += l.win[i];
            lose[i] += l.lose[i];
            rank[i] += l.rank[i];
        }
    }
    return PyTuple_Pack(3, c.win.get(), c.lose.get(), c.rank.get());
}

PyObject *select(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                 const CountsOptions &opt, const Threading &th) {
    PyRef c = PyRef::steal(counts(module, mu_obj, sigma2_obj, n_samples, opt, th));
    if (!c) return nullptr;
    return select_from_counts(module, c.get(), opt.percentile);
}

PyObject *select_detailed(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                          const DetailedOptions &opt, const Threading &th) {
    DetailedSetup d;
    if (d.create(module, mu_obj, sigma2_obj, n_samples, opt) < 0) return nullptr;
    if (d.in.N == 0) return empty_result(d.np);
    const Counters &counts = d.setup.counts;
    Lanes lanes;
    if (lanes.create(d.np, d.in, d.setup, lanes_for(th, n_samples), true, th.shuffle) < 0) return nullptr;
    Job job = make_job(d.in, d.setup, n_samples, opt, lanes);
    job.acc = &d.arrays.acc;
    job.win = counts.wins();
    job.lose = counts.losses();
    job.rank = counts.rank_sums();
    if (run(job, lanes, th) < 0) return nullptr;
    const int32_t n_threads = lanes.n;
    lanes.lane.reset();  // the scratch records go before the results are built, as in the kernel
    QuantileArrays q;
    const bool exact = !d.cfg.use_p2;
    if (exact && exact_quantiles(d.np, d.arrays, d.in.N, n_samples, n_threads, &q) < 0) return nullptr;
    return detailed_results(d.np, PassState{d.in.N, d.setup.k, n_samples, counts, d.arrays}, opt,
                            exact ? &q : nullptr);
}

}  // namespace par
}  // namespace vq
