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

namespace {

const DType &dtype_of(Elem e) {
    switch (e) {
    case Elem::F64: return F64;
    case Elem::I64: return I64;
    case Elem::I32: return I32;
    default: return U8;
    }
}

}  // namespace

int RatingBuffers::create(const Np &np, int32_t N, int32_t M) {
    for (int id = 0; id < kNumRatingArrays; ++id) {
        const BufferSpec &spec = kRatingBuffers[id];
        const npy_intp dims[2] = {extent(spec.rows, N, M), extent(spec.cols, N, M)};
        arrays_[id] = np.new_array("empty", ndim(spec), dims, dtype_of(spec.elem));
        if (!arrays_[id]) return -1;
        slices_[id] = slice_of(arrays_[id].get());
    }
    return 0;
}

int RatingBuffers::rate(int32_t mode_i, int32_t within_mode_i, Pair *pairs, OrderKey *keys) const {
    const MemviewSlice *s = slices_;
    return g_rate_population(s[kBufX], mode_i, within_mode_i, s[kBufFrontId], s[kBufWithin], s[kBufOrder],
                             s[kBufOffsets], s[kBufItems], s[kBufDom], s[kBufNDom], s[kBufCur], s[kBufNxt], pairs,
                             keys, s[kBufR]);
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

}  // namespace vq
