// Detailed selection. The sampling pass is the counting kernel's loop, which also derives three
// observations per individual and sample (place in the global order, front index, rank inside the
// front) and feeds them to the accumulators; the results stage turns counters and accumulators into
// winners, losers, per-metric statistics and a weighted quality score.
#include "detailed.hpp"

#include <cmath>
#include <utility>

#include "check.hpp"
#include "gil.hpp"
#include "selection.hpp"

namespace vq {
namespace {

PyRef float_array(const Np &np, int32_t N) { return np.new_array("empty", N, F64); }

// Median and quartiles of every metric: exact ones over the stored observations of all samples
// (NumPy's default linear interpolation), or the middle markers of the streaming estimators.
int quantiles(const Np &np, const PassState &st, QuantileArrays &q) {
    const Accumulators &acc = st.arrays.acc;
    if (acc.cfg.use_p2) {
        double *out[kMetrics][3];
        for (int m = 0; m < kMetrics; ++m) {
            PyRef *targets[3] = {&q.median[m], &q.q25[m], &q.q75[m]};
            for (PyRef *t : targets)
                if (!(*t = float_array(np, st.N))) return -1;
            out[m][0] = data_of<double>(q.q25[m]);
            out[m][1] = data_of<double>(q.median[m]);
            out[m][2] = data_of<double>(q.q75[m]);
        }
        GilRelease nogil;
        for (int32_t i = 0; i < st.N; ++i) {
            const size_t estimate = kP2Markers * static_cast<size_t>(i) + kP2Estimate;
            for (int m = 0; m < kMetrics; ++m)
                for (int j = 0; j < 3; ++j) out[m][j][i] = acc.q[m][j][estimate];
        }
        return 0;
    }
    PyRef axis = PyRef::steal(PyLong_FromLong(0));
    PyRef p25 = PyRef::steal(PyFloat_FromDouble(0.25));
    PyRef p75 = PyRef::steal(PyFloat_FromDouble(0.75));
    if (!axis || !p25 || !p75) return -1;
    for (int m = 0; m < kMetrics; ++m) {
        PyObject *b = st.arrays.buf[m].get();
        if (!(q.median[m] = np.call("median", {b}, "axis", axis.get()))) return -1;
        if (!(q.q25[m] = np.call("quantile", {b, p25.get()}, "axis", axis.get()))) return -1;
        if (!(q.q75[m] = np.call("quantile", {b, p75.get()}, "axis", axis.get()))) return -1;
    }
    return 0;
}

}  // namespace

// Result for an empty population. The objects are shared between slots: one int64 array for
// winners and losers, one int32 array for both counts, one statistics dict for all three metrics,
// whose values are all the float64 array of the quality-score slot.
PyObject *empty_result(const Np &np) {
    PyRef empty_i = np.new_array("zeros", 0, I64);
    if (!empty_i) return nullptr;
    PyRef z32 = np.new_array("zeros", 0, I32);
    if (!z32) return nullptr;
    PyRef z64 = np.new_array("zeros", 0, I64);
    if (!z64) return nullptr;
    PyRef zf = np.new_array("zeros", 0, F64);
    if (!zf) return nullptr;
    PyRef stats = PyRef::steal(PyDict_New());
    if (!stats) return nullptr;
    for (const char *key : {"mean", "median", "std", "q25", "q75"})
        if (PyDict_SetItemString(stats.get(), key, zf.get()) < 0) return nullptr;
    return PyTuple_Pack(9, empty_i.get(), empty_i.get(), z32.get(), z32.get(), z64.get(), stats.get(), stats.get(),
                        stats.get(), zf.get());
}

int AccumulatorArrays::create(const Np &np, int32_t N, const AccumulatorConfig &cfg) {
    acc.N = N;
    acc.cfg = cfg;
    for (int m = 0; m < kMetrics; ++m) {
        if (!(mean[m] = np.new_array("zeros", N, F64))) return -1;
        acc.mean[m] = data_of<double>(mean[m]);
        if (!(M2[m] = np.new_array("zeros", N, F64))) return -1;
        acc.M2[m] = data_of<double>(M2[m]);
    }
    for (int m = 0; m < kMetrics; ++m) {
        if (!(buf[m] = np.new_array("empty", cfg.S_init, N, F64))) return -1;
        acc.buf[m] = data_of<double>(buf[m]);
    }
    if (!cfg.use_p2) return 0;
    for (int j = 0; j < kEstimatorArrays; ++j) {
        const DType &dt = estimator_slot(j).role == kPositions ? I32 : F64;
        if (!(estimators[j] = np.new_array("empty", N, kP2Markers, dt))) return -1;
        acc.bind_estimator(j, data_of<void>(estimators[j]));
    }
    return 0;
}

PyObject *detailed_results(const Np &np, const PassState &st, const DetailedOptions &opt,
                           const QuantileArrays *given) {
    const Accumulators &acc = st.arrays.acc;
    PyRef winners, losers;
    if (select_winners_losers(np, st.counts.win.get(), st.counts.lose.get(), st.counts.rank.get(), st.N, st.k,
                              &winners, &losers) < 0)
        return nullptr;

    // Population standard deviations (divisor n_samples).
    PyRef sd[kMetrics];
    double *sd_data[kMetrics];
    for (int m = 0; m < kMetrics; ++m) {
        if (!(sd[m] = float_array(np, st.N))) return nullptr;
        sd_data[m] = data_of<double>(sd[m]);
    }
    {
        const double n = static_cast<double>(st.n_samples);
        GilRelease nogil;
        for (int32_t i = 0; i < st.N; ++i)
            for (int m = 0; m < kMetrics; ++m) sd_data[m][i] = std::sqrt(acc.M2[m][i] / n);
    }

    QuantileArrays own;
    if (!given && quantiles(np, st, own) < 0) return nullptr;
    const QuantileArrays &q = given ? *given : own;

    // Weighted sum of the running means; with the defaults, minus the sum, so that individuals
    // usually early in the order, in low fronts and early in their front score highest.
    PyRef quality = float_array(np, st.N);
    if (!quality) return nullptr;
    {
        double *score = data_of<double>(quality);
        GilRelease nogil;
        for (int32_t i = 0; i < st.N; ++i)
            score[i] = ((opt.quality_w_place * acc.mean[kPlace][i] + opt.quality_w_front * acc.mean[kFront][i]) +
                        opt.quality_w_within * acc.mean[kWithin][i]) *
                       opt.quality_sign;
    }

    PyRef f64 = np.attr(F64.name);
    if (!f64) return nullptr;
    PyRef mode_used = PyRef::steal(PyLong_FromLong(acc.cfg.use_p2));
    if (!mode_used) return nullptr;
    PyRef stats[kMetrics];
    for (int m = 0; m < kMetrics; ++m) {
        PyRef med = np.call("asarray", {q.median[m].get()}, "dtype", f64.get());
        if (!med) return nullptr;
        PyRef lo = np.call("asarray", {q.q25[m].get()}, "dtype", f64.get());
        if (!lo) return nullptr;
        PyRef hi = np.call("asarray", {q.q75[m].get()}, "dtype", f64.get());
        if (!hi) return nullptr;
        stats[m] = PyRef::steal(PyDict_New());
        if (!stats[m]) return nullptr;
        // clang-format off
        const std::pair<const char *, PyObject *> items[] = {
            {"mean", st.arrays.mean[m].get()}, {"quantiles_mode_used", mode_used.get()},
            {"median", med.get()}, {"std", sd[m].get()}, {"q25", lo.get()}, {"q75", hi.get()}};
        // clang-format on
        for (const auto &kv : items)
            if (PyDict_SetItemString(stats[m].get(), kv.first, kv.second) < 0) return nullptr;
    }
    return PyTuple_Pack(9, winners.get(), losers.get(), st.counts.win.get(), st.counts.lose.get(),
                        st.counts.rank.get(), stats[kPlace].get(), stats[kFront].get(), stats[kWithin].get(),
                        quality.get());
}

int DetailedSetup::create(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                          const DetailedOptions &opt) {
    if (np.bind(module) < 0) return -1;
    if (load_inputs(np, mu_obj, sigma2_obj, &in) < 0) return -1;
    if (in.N == 0) return 0;
    if (setup.create(np, in, n_samples, opt.percentile) < 0) return -1;
    cfg = configure_accumulators(n_samples, in.N, opt.quantiles_mode_i, opt.quantiles_budget);
    return arrays.create(np, in.N, cfg);
}

PyObject *mc_rank_select_detailed(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                                  const DetailedOptions &opt) {
    DetailedSetup d;
    if (d.create(module, mu_obj, sigma2_obj, n_samples, opt) < 0) return nullptr;
    const Np &np = d.np;
    const Inputs &in = d.in;
    const int32_t N = in.N;
    if (N == 0) return empty_result(np);
    const SamplingSetup &setup = d.setup;
    const int32_t k = setup.k;
    const Counters &counts = setup.counts;
    const AccumulatorConfig &cfg = d.cfg;
    AccumulatorArrays &arrays = d.arrays;
    ScratchRecords scratch(N);
    if (!scratch.ok()) return PyErr_NoMemory();
    PyRef front_counts_arr = np.new_array("empty", N, I32);
    if (!front_counts_arr) return nullptr;

    const int64_t *order = setup.buf.order();
    const int64_t *front_id = setup.buf.front_id();
    int32_t *win_count = counts.wins();
    int32_t *lose_count = counts.losses();
    int64_t *rank_sum = counts.rank_sums();
    I32T *front_counts = data_of<I32T>(front_counts_arr);
    Accumulators &acc = arrays.acc;
    const int code = sample_and_rate(in, setup, scratch, opt, n_samples, [&](int32_t s, int n_fronts) {
        for (int32_t f = 0; f < n_fronts; ++f) front_counts[f] = 0;
        const double n_d = static_cast<double>(s + 1);
        for (int32_t pos = 0; pos < N; ++pos) {
            const int32_t idx = static_cast<int32_t>(order[pos]);
            VQ_ASSERT(idx >= 0 && idx < N);
            if (pos < k) win_count[idx] += 1;
            if (pos >= N - k) lose_count[idx] += 1;
            rank_sum[idx] += pos;
            // rank inside the front: members of the front met so far in this sample's order
            const I32T fid = static_cast<I32T>(front_id[idx]);
            VQ_ASSERT(fid >= 0 && fid < n_fronts);  // its counter was reset above
            const I32T within_rank = front_counts[fid];
            front_counts[fid] = within_rank + 1;
            const double x[kMetrics] = {static_cast<double>(pos), static_cast<double>(fid),
                                        static_cast<double>(within_rank)};
            acc.update(idx, s, n_d, x);
        }
        if (s == kStreamingStart - 1 && cfg.use_p2) acc.init_estimators();
    });
    if (code < 0) return raise_rating_error(code);
    scratch.free_now();
    return detailed_results(np, PassState{N, k, n_samples, counts, arrays}, opt);
}

}  // namespace vq
