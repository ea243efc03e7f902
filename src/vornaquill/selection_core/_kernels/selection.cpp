// Winner/loser selection: order the counters lexicographically and keep the first k of each order.
#include "selection.hpp"

#include "kernels.hpp"
#include "sampling.hpp"

namespace vq {

int select_winners_losers(const Np &np, PyObject *win_count, PyObject *lose_count, PyObject *rank_sum, npy_intp N,
                          int32_t k, PyRef *winners, PyRef *losers) {
    PyRef int64 = np.attr(I64.name);
    if (!int64) return -1;
    PyRef idx = PyRef::steal(PyLong_FromSsize_t(N));
    if (!idx) return -1;
    idx = np.call("arange", {idx.get()}, "dtype", int64.get());
    if (!idx) return -1;
    // lexsort's last key is primary: more wins, then smaller rank sum, then smaller index.
    PyRef neg_win = PyRef::steal(PyNumber_Negative(win_count));
    if (!neg_win) return -1;
    PyRef keys = PyRef::steal(PyTuple_Pack(3, idx.get(), rank_sum, neg_win.get()));
    if (!keys) return -1;
    PyRef winners_order = np.call("lexsort", {keys.get()});
    if (!winners_order) return -1;
    // More losses, then larger rank sum, then smaller index.
    PyRef neg_rank = PyRef::steal(PyNumber_Negative(rank_sum));
    if (!neg_rank) return -1;
    PyRef neg_lose = PyRef::steal(PyNumber_Negative(lose_count));
    if (!neg_lose) return -1;
    keys = PyRef::steal(PyTuple_Pack(3, idx.get(), neg_rank.get(), neg_lose.get()));
    if (!keys) return -1;
    PyRef losers_order = np.call("lexsort", {keys.get()});
    if (!losers_order) return -1;

    // head.astype(np.int64, copy=False) of the first min(k, N) entries of each order.
    const Py_ssize_t take = k < N ? k : N;
    PyRef kwnames = PyRef::steal(Py_BuildValue("(s)", "copy"));
    if (!kwnames) return -1;
    PyObject *stack[2] = {int64.get(), Py_False};
    PyRef *outs[2] = {winners, losers};
    PyObject *orders[2] = {winners_order.get(), losers_order.get()};
    for (int j = 0; j < 2; ++j) {
        PyRef head = PyRef::steal(PySequence_GetSlice(orders[j], 0, take));
        if (!head) return -1;
        PyRef astype = PyRef::steal(PyObject_GetAttrString(head.get(), "astype"));
        if (!astype) return -1;
        *outs[j] = PyRef::steal(PyObject_Vectorcall(astype.get(), stack, 1, kwnames.get()));
        if (!*outs[j]) return -1;
    }
    return 0;
}

PyObject *select_from_counts(PyObject *module, PyObject *counts, double percentile) {
    PyObject *win_count = PyTuple_GET_ITEM(counts, 0);  // borrowed from `counts`
    PyObject *lose_count = PyTuple_GET_ITEM(counts, 1);
    PyObject *rank_sum = PyTuple_GET_ITEM(counts, 2);
    Np np;
    if (np.bind(module) < 0) return nullptr;
    const npy_intp N = PyArray_DIM(reinterpret_cast<PyArrayObject *>(win_count), 0);
    if (N == 0) {
        PyRef empty = np.new_array("zeros", 0, I64);
        if (!empty) return nullptr;
        return PyTuple_Pack(5, empty.get(), empty.get(), win_count, lose_count, rank_sum);
    }
    int32_t k = 0;
    if (selection_size(np, percentile, static_cast<int32_t>(N), &k) < 0) return nullptr;
    PyRef winners, losers;
    if (select_winners_losers(np, win_count, lose_count, rank_sum, N, k, &winners, &losers) < 0) return nullptr;
    return PyTuple_Pack(5, winners.get(), losers.get(), win_count, lose_count, rank_sum);
}

PyObject *mc_rank_select(PyObject *module, PyObject *mu_obj, PyObject *sigma2_obj, int32_t n_samples,
                         const CountsOptions &opt) {
    PyRef counts = PyRef::steal(mc_rank_counts(module, mu_obj, sigma2_obj, n_samples, opt));
    if (!counts) return nullptr;
    return select_from_counts(module, counts.get(), opt.percentile);
}

}  // namespace vq
