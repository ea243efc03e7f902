#include "sampling.hpp"

#include <climits>

#include "gil.hpp"
#include "kernels.hpp"
#include "population_sampler.hpp"

namespace vq {

int load_inputs(const Np &np, PyObject *mu_obj, PyObject *sigma2_obj, Inputs *in) {
    in->mu = _as_contig_f64_2d(np, mu_obj);
    if (!in->mu) return -1;
    in->sigma2 = _as_contig_f64_2d(np, sigma2_obj);
    if (!in->sigma2) return -1;
    auto *mu = reinterpret_cast<PyArrayObject *>(in->mu.get());
    auto *s2 = reinterpret_cast<PyArrayObject *>(in->sigma2.get());
    if (PyArray_DIM(mu, 0) != PyArray_DIM(s2, 0) || PyArray_DIM(mu, 1) != PyArray_DIM(s2, 1)) {
        PyErr_SetString(PyExc_ValueError, "mu and sigma2 must have the same shape");
        return -1;
    }
    // Counts and indices are 32-bit throughout; refuse what they cannot address.
    if (PyArray_DIM(mu, 0) > INT32_MAX || PyArray_DIM(mu, 1) > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "mu has more rows or columns than 2**31 - 1");
        return -1;
    }
    in->N = static_cast<int32_t>(PyArray_DIM(mu, 0));
    in->M = static_cast<int32_t>(PyArray_DIM(mu, 1));
    return 0;
}

int selection_size(const Np &np, double percentile, int32_t N, int32_t *k) {
    PyRef product = PyRef::steal(PyFloat_FromDouble(percentile * static_cast<double>(N)));
    if (!product) return -1;
    PyRef ceiling = np.call("ceil", {product.get()});
    if (!ceiling) return -1;
    PyRef as_int = PyRef::steal(PyNumber_Long(ceiling.get()));  // ValueError for NaN
    if (!as_int) return -1;
    long long v = PyLong_AsLongLong(as_int.get());
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < 1) v = 1;
    if (v > N) v = N;
    *k = static_cast<int32_t>(v);
    return 0;
}

int check_counts_args(const Np &np, int32_t n_samples, double percentile, int32_t N, int32_t *k) {
    if (n_samples <= 0) {
        PyErr_SetString(PyExc_ValueError, "n_samples must be > 0");
        return -1;
    }
    if (percentile <= 0.0 || percentile > 1.0) {
        PyErr_SetString(PyExc_ValueError, "percentile must be in (0,1]");
        return -1;
    }
    return selection_size(np, percentile, N, k);
}

PyRef make_sigma(const Np &np, const Inputs &in) {
    PyRef sigma = np.new_array("empty", in.N, in.M, F64);
    if (!sigma) return sigma;
    const double *s2 = in.sigma2_data();
    double *out = data_of<double>(sigma);
    size_t n = in.size();
    {
        GilRelease nogil;
        _sigma_from_sigma2(s2, out, n);
    }
    return sigma;
}

int RatingBuffers::create(const Np &np, int32_t N, int32_t M) {
    struct Spec {
        PyRef *array;
        MemviewSlice *slice;
        int ndim;
        npy_intp dims[2];
        DType dtype;
    };
    const Spec specs[] = {
        {&X_, &sX_, 2, {N, M}, F64},           {&R_, &sR_, 2, {N, M}, F64},
        {&front_id_, &sfront_id_, 1, {N}, I64},  {&within_, &swithin_, 1, {N}, F64},
        {&order_, &sorder_, 1, {N}, I64},        {&items_, &sitems_, 1, {N}, I64},
        {&offsets_, &soffsets_, 1, {npy_intp{N} + 1}, I64}, {&dom_, &sdom_, 2, {N, N}, U8},
        {&n_dom_, &sn_dom_, 1, {N}, I32},        {&cur_, &scur_, 1, {N}, I32},
        {&nxt_, &snxt_, 1, {N}, I32},
    };
    for (const Spec &s : specs) {
        *s.array = np.new_array("empty", s.ndim, s.dims, s.dtype);
        if (!*s.array) return -1;
        *s.slice = slice_of(s.array->get());
    }
    return 0;
}

int RatingBuffers::rate(int32_t mode_i, int32_t within_mode_i, Pair *pairs, OrderKey *keys) const {
    return g_rate_population(sX_, mode_i, within_mode_i, sfront_id_, swithin_, sorder_, soffsets_, sitems_,
                             sdom_, sn_dom_, scur_, snxt_, pairs, keys, sR_);
}

ScratchRecords::ScratchRecords(int32_t N) {
    size_t n = N > 1 ? static_cast<size_t>(N) : 1;
    pairs = static_cast<Pair *>(std::malloc(n * sizeof(Pair)));
    keys = static_cast<OrderKey *>(std::malloc(n * sizeof(OrderKey)));
    if (!ok()) free_now();  // release whichever one was obtained
}

int Counters::create(const Np &np, int32_t N) {
    if (!(win = np.new_array("zeros", N, I32))) return -1;
    if (!(lose = np.new_array("zeros", N, I32))) return -1;
    return (rank = np.new_array("zeros", N, I64)) ? 0 : -1;
}

int SamplingSetup::create(const Np &np, const Inputs &in, int32_t n_samples, double percentile) {
    if (check_counts_args(np, n_samples, percentile, in.N, &k) < 0) return -1;
    if (!(sigma = make_sigma(np, in))) return -1;
    if (buf.create(np, in.N, in.M) < 0) return -1;
    return counts.create(np, in.N);
}

PyObject *raise_rating_error(int code) {
    PyErr_Format(PyExc_ValueError, "pareto_core returned error code: %d", code);
    return nullptr;
}

}  // namespace vq
