// Counting kernel: sample whole populations, rate each one, and count per individual the
// samples in which it stood in the top k (a win) or the bottom k (a loss) of the global order,
// and the sum of its positions.
#include "kernels.hpp"
#include "sampling.hpp"

namespace vq {

PyObject *mc_rank_counts(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                         const CountsOptions &opt) {
    Np np;
    if (np.bind(module) < 0) return nullptr;
    Inputs in;
    if (load_inputs(np, mu_obj, sigma2_obj, &in) < 0) return nullptr;
    const int32_t N = in.N;
    if (N == 0) {  // three new empty counters; n_samples and percentile are not looked at
        Counters empty;
        if (empty.create(np, 0) < 0) return nullptr;
        return PyTuple_Pack(3, empty.win.get(), empty.lose.get(), empty.rank.get());
    }
    SamplingSetup setup;
    if (setup.create(np, in, n_samples, opt.percentile) < 0) return nullptr;
    const int32_t k = setup.k;
    ScratchRecords scratch(N);
    if (!scratch.ok()) return PyErr_NoMemory();

    const Counters &c = setup.counts;
    const int64_t *order = setup.buf.order();
    int32_t *win_count = c.wins();
    int32_t *lose_count = c.losses();
    int64_t *rank_sum = c.rank_sums();
    const auto itself = [](int64_t r) { return static_cast<int32_t>(r); };
    const int code = sample_and_rate(in, setup, scratch, opt, n_samples, [&](int32_t, int) {
        count_places(order, N, k, itself, win_count, lose_count, rank_sum);
    });
    if (code < 0) return raise_rating_error(code);
    return PyTuple_Pack(3, c.win.get(), c.lose.get(), c.rank.get());
}

}  // namespace vq
