// Set-up and results of the multi-threaded entries. The checks, work arrays and results are
// those of the single-threaded kernels, made by the same functions in the same order; only the
// sampling loop differs (pool.cpp). One thread without the ties shuffle is the single-threaded
// kernel itself.
#include "parallel.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <thread>

#include "detailed.hpp"
#include "gil.hpp"
#include "pool.hpp"
#include "selection.hpp"

namespace vq {
namespace par {
namespace {

// The lanes and the ring of a call; everything is created before the sampling starts.
struct Lanes {
    int32_t n = 0, ring_slots = 0;  // detailed: a few samples in flight per lane
    std::unique_ptr<Lane[]> lane;
    PyRef ring, control;

    // detailed: lanes apply blocks of individuals and share the observation ring.
    int create(const Np &np, const Inputs &in, const SamplingSetup &setup, int32_t n_lanes, bool detailed,
               bool shuffle) {
        const int32_t N = in.N;
        lane.reset(new (std::nothrow) Lane[n_lanes]);
        if (!lane) {
            PyErr_NoMemory();
            return -1;
        }
        n = n_lanes;
        for (int32_t t = 0; t < n; ++t) {
            Lane &l = lane[t];
            if (t == 0) {
                l.buf = &setup.buf;
            } else {
                if (l.own.create(np, N, in.M) < 0) return -1;
                l.buf = &l.own;
            }
            l.scratch.reset(new (std::nothrow) ScratchRecords(N));
            if (!l.scratch || !l.scratch->ok()) {
                PyErr_NoMemory();
                return -1;
            }
            if (shuffle) {
                if (!(l.perm_arr = np.new_array("zeros", N, I64))) return -1;  // the shuffle may read a slot first
                if (!(l.drawn_arr = np.new_array("empty", N, in.M, F64))) return -1;
                l.perm = data_of<int64_t>(l.perm_arr);
                l.drawn = data_of<double>(l.drawn_arr);
            }
            if (detailed) {
                if (!(l.front_counts_arr = np.new_array("empty", N, I32))) return -1;
                l.front_counts = data_of<int32_t>(l.front_counts_arr);
                l.lo = static_cast<int32_t>(static_cast<int64_t>(N) * t / n);
                l.hi = static_cast<int32_t>(static_cast<int64_t>(N) * (t + 1) / n);
            } else {
                const Counters &c = t == 0 ? setup.counts : l.counters;
                if (t > 0 && l.counters.create(np, N) < 0) return -1;
                l.win = c.wins();
                l.lose = c.losses();
                l.rank = c.rank_sums();
            }
        }
        if (!detailed) return 0;
        ring_slots = 4 * n;
        if (!(ring = np.new_array("empty", static_cast<npy_intp>(ring_slots) * 3 * N, I32))) return -1;
        return (control = np.new_array("empty", ring_slots + n, I32)) ? 0 : -1;
    }
};

Job make_job(const Inputs &in, const SamplingSetup &setup, int32_t n_samples, const CountsOptions &opt,
             const Lanes &lanes) {
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
    if (lanes.ring) {
        job.ring = data_of<int32_t>(lanes.ring);
        job.control = data_of<int32_t>(lanes.control);
        job.ring_slots = lanes.ring_slots;
    }
    return job;
}

int run(const Job &job, const Lanes &lanes) {
    int code;
    {
        GilRelease nogil;
        code = run_pool(job, lanes.lane.get(), lanes.n);
    }
    if (code == kThreadStartFailed) {
        PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
        return -1;
    }
    if (code < 0) {
        raise_rating_error(code);
        return -1;
    }
    return 0;
}

// Lanes never outnumber the samples.
int32_t lanes_for(const Threading &th, int32_t n_samples) {
    return th.threads < n_samples ? th.threads : n_samples;
}

bool single_threaded(const Threading &th, int32_t n_samples) {
    return !th.shuffle && (th.threads <= 1 || n_samples <= 1);
}

// Exact median and quartiles of the stored observations, computed here instead of by NumPy's
// median and quantile (which run on one thread and dominate the results stage). The observations
// are integers read from the int32 ring (places, front indices, ranks in a front): never NaN, and
// every value NumPy derives from them - the middle value or the mean of the two middle values, and
// the default linear interpolation a + (b - a) * g (b - (b - a) * (1 - g) for g >= 0.5) with
// g = frac(q * (n - 1)) in {0, .25, .5, .75} - is exact in double, so these are NumPy's results
// bit for bit.
struct ExactQuantiles {
    const double *buf[kMetrics];  // (n, N): row = sample, column = individual
    double *out[kMetrics][3];  // q25, median, q75
    int32_t N = 0, n = 0;

    // The order statistics j and j + 1 (j itself for the last) of v[lo .. hi), which hold the
    // order statistics lo .. hi-1 of the column; after it v[lo .. j) <= v[j] <= v[j+1 .. hi).
    static void order_pair(double *v, int32_t lo, int32_t j, int32_t hi, double *a, double *b) {
        std::nth_element(v + lo, v + j, v + hi);
        *a = v[j];
        *b = j + 1 < hi ? *std::min_element(v + j + 1, v + hi) : *a;
    }

    static double lerp(double a, double b, double g) { return g >= 0.5 ? b - (b - a) * (1 - g) : a + (b - a) * g; }

    // Individuals lo .. hi-1; v: n doubles of scratch. The median splits the column, so each
    // quartile is searched in its half only.
    void block(double *v, int32_t lo, int32_t hi) const {
        const int64_t last = n - 1;
        const auto j25 = static_cast<int32_t>(last / 4), j75 = static_cast<int32_t>(3 * last / 4);
        const double g25 = 0.25 * static_cast<double>(last % 4), g75 = 0.25 * static_cast<double>(3 * last % 4);
        const auto j50 = static_cast<int32_t>(last / 2);
        double a, b, a50, b50;
        for (int32_t i = lo; i < hi; ++i)
            for (int m = 0; m < kMetrics; ++m) {
                for (int32_t s = 0; s < n; ++s) v[s] = buf[m][static_cast<size_t>(s) * N + i];
                order_pair(v, 0, j50, n, &a50, &b50);
                out[m][1][i] = n % 2 ? a50 : (a50 + b50) / 2;
                if (j25 < j50) {
                    order_pair(v, 0, j25, j50 + 1, &a, &b);
                } else {
                    a = a50;
                    b = b50;
                }
                out[m][0][i] = lerp(a, b, g25);
                order_pair(v, j50, j75, n, &a, &b);
                out[m][2][i] = lerp(a, b, g75);
            }
    }
};

// Fills `q` on n_threads threads (the caller's and n_threads - 1 of our own), one block of
// individuals each; a thread that cannot be started leaves its block to the caller.
int exact_quantiles(const Np &np, const AccumulatorArrays &arrays, int32_t N, int32_t n, int32_t n_threads,
                    QuantileArrays *q) {
    ExactQuantiles job;
    job.N = N;
    job.n = n;
    for (int m = 0; m < kMetrics; ++m) {
        job.buf[m] = arrays.acc.buf[m];
        PyRef *targets[3] = {&q->q25[m], &q->median[m], &q->q75[m]};
        for (int j = 0; j < 3; ++j) {
            if (!(*targets[j] = np.new_array("empty", N, F64))) return -1;
            job.out[m][j] = data_of<double>(*targets[j]);
        }
    }
    std::unique_ptr<double[]> scratch(new (std::nothrow) double[static_cast<size_t>(n) * n_threads]);
    std::unique_ptr<std::thread[]> threads(new (std::nothrow) std::thread[n_threads]);
    if (!scratch || !threads) {
        PyErr_NoMemory();
        return -1;
    }
    GilRelease nogil;
    auto run_block = [&](int32_t t) {
        job.block(scratch.get() + static_cast<size_t>(n) * t, static_cast<int32_t>(int64_t{N} * t / n_threads),
                  static_cast<int32_t>(int64_t{N} * (t + 1) / n_threads));
    };
    for (int32_t t = 1; t < n_threads; ++t) {
        try {
            threads[t] = std::thread(run_block, t);
        } catch (...) {  // not joinable: the caller runs the block below
        }
    }
    run_block(0);
    for (int32_t t = 1; t < n_threads; ++t) {
        if (threads[t].joinable()) threads[t].join();
        else run_block(t);
    }
    return 0;
}

}  // namespace

PyObject *counts(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                 const CountsOptions &opt, const Threading &th) {
    if (single_threaded(th, n_samples)) return mc_rank_counts(module, mu_obj, sigma2_obj, n_samples, opt);
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
    if (run(job, lanes) < 0) return nullptr;
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
    if (single_threaded(th, n_samples)) return mc_rank_select(module, mu_obj, sigma2_obj, n_samples, opt);
    PyRef c = PyRef::steal(counts(module, mu_obj, sigma2_obj, n_samples, opt, th));
    if (!c) return nullptr;
    return select_from_counts(module, c.get(), opt.percentile);
}

PyObject *select_detailed(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                          const DetailedOptions &opt, const Threading &th) {
    if (single_threaded(th, n_samples)) return mc_rank_select_detailed(module, mu_obj, sigma2_obj, n_samples, opt);
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
    if (run(job, lanes) < 0) return nullptr;
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
