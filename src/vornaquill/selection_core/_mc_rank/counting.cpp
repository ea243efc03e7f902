// Counting kernel: sample whole populations, rate each one, and count per individual the
// samples in which it stood in the top k (a win) or the bottom k (a loss) of the global order,
// and the sum of its positions.
#include "gil.hpp"
#include "kernels.hpp"
#include "sampling.hpp"
#include "xoshiro.hpp"

namespace vq {

PyObject *mc_rank_counts(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                         const CountsOptions &opt) {
    Np np;
    if (!np.bind(module)) return nullptr;
    Inputs in;
    if (load_inputs(np, mu_obj, sigma2_obj, &in) < 0) return nullptr;
    const int32_t N = in.N;
    if (N == 0) {
        PyRef w = np.new_array("zeros", 0, I32);
        if (!w) return nullptr;
        PyRef l = np.new_array("zeros", 0, I32);
        if (!l) return nullptr;
        PyRef r = np.new_array("zeros", 0, I64);
        if (!r) return nullptr;
        return PyTuple_Pack(3, w.get(), l.get(), r.get());
    }
    int32_t k = 0;
    if (check_counts_args(np, n_samples, opt.percentile, N, &k) < 0) return nullptr;

    PyRef sigma = make_sigma(np, in);
    if (!sigma) return nullptr;
    RatingBuffers buf;
    if (buf.create(np, N, in.M) < 0) return nullptr;
    PyRef win = np.new_array("zeros", N, I32);
    if (!win) return nullptr;
    PyRef lose = np.new_array("zeros", N, I32);
    if (!lose) return nullptr;
    PyRef rank = np.new_array("zeros", N, I64);
    if (!rank) return nullptr;
    ScratchRecords scratch(N);
    if (!scratch.ok()) return PyErr_NoMemory();

    Xoshiro256ss rng;
    _xoshiro_seed(rng, opt.seed);
    const double *mu = in.mu_data();
    const double *sd = data_of<const double>(sigma);
    double *X = buf.X();
    const int64_t *order = buf.order();
    int32_t *win_count = data_of<int32_t>(win);
    int32_t *lose_count = data_of<int32_t>(lose);
    int64_t *rank_sum = data_of<int64_t>(rank);
    const size_t n_elems = in.size();
    int code = 0;
    {
        GilRelease nogil;
        for (int32_t s = 0; s < n_samples; ++s) {
            _sample_population(rng, mu, sd, X, n_elems);
            code = buf.rate(opt.mode_i, opt.within_mode_i, scratch.pairs, scratch.keys);
            if (code < 0) break;
            for (int32_t pos = 0; pos < k; ++pos) win_count[static_cast<int32_t>(order[pos])] += 1;
            for (int32_t pos = N - k; pos < N; ++pos) lose_count[static_cast<int32_t>(order[pos])] += 1;
            for (int32_t pos = 0; pos < N; ++pos) rank_sum[static_cast<int32_t>(order[pos])] += pos;
        }
    }
    if (code < 0) return raise_rating_error(code);
    return PyTuple_Pack(3, win.get(), lose.get(), rank.get());
}

}  // namespace vq
