// Native microbenchmark of the per-sample cost of the counting kernel.
//
//   vq_microbench [seconds-per-measurement]
//
// Prints one JSON object: the generator's deviates per second; the case "sincos_grouping" (the
// cost of one sincos call on the sampler's angles in stream order and grouped by angle class, as
// the population sampler evaluates them); and, per population size, the
// time to sample one population, to rate one sampled population (a loop of sampling then rating,
// less the sampling), and one sample of the installed kernel `mc_rank_counts` (through an
// embedded interpreter, so the timed loop is the real one), with overhead = kernel / (sampling +
// rating), and the serial step of the threaded kernels per sample: handing out the sample's start
// in the stream under the lock (cursor_s). Every figure is the median of several timed runs.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "population_sampler.hpp"
#include "rating_call.hpp"
#include "stream.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepeats = 7;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Median over kRepeats runs of `batch` calls of f, per call. `batch` is first grown until one run
// takes about `target` seconds.
template <class F>
double per_call(F &&f, double target) {
    long batch = 1;
    for (;;) {
        const auto t0 = Clock::now();
        for (long r = 0; r < batch; ++r) f();
        const double dt = seconds_since(t0);
        if (dt >= target / 4 || batch > (1L << 30)) {
            batch = std::max(1L, static_cast<long>(static_cast<double>(batch) * target / std::max(dt, 1e-9)));
            break;
        }
        batch *= 4;
    }
    std::vector<double> runs;
    for (int k = 0; k < kRepeats; ++k) {
        const auto t0 = Clock::now();
        for (long r = 0; r < batch; ++r) f();
        runs.push_back(seconds_since(t0) / static_cast<double>(batch));
    }
    std::nth_element(runs.begin(), runs.begin() + kRepeats / 2, runs.end());
    return runs[kRepeats / 2];
}

volatile double g_sink;

// Case "sincos_grouping": seconds per sincos call on fresh angles of the generator, taken
// kPairBatch at a time, in stream order and then in the order the population sampler calls them
// (each batch stably grouped by angle class). Both orders run the same loop over the same angles.
void sincos_grouping(vq::Xoshiro256ss &rng, double target, double *stream_order_s, double *grouped_s) {
    const size_t batch = vq::kPairBatch, pool = batch << 9;  // more angles than a predictor can learn
    std::vector<double> stream(pool), grouped(pool);
    std::vector<int> cls(pool);
    for (size_t i = 0; i < pool; ++i) {
        const vq::PolarPair p = vq::_box_muller_polar(rng);
        stream[i] = p.theta;
        cls[i] = static_cast<int>(p.u2 * static_cast<double>(vq::_angle_classes(batch)));
    }
    std::vector<size_t> idx(pool);
    for (size_t b0 = 0; b0 < pool; b0 += batch) {
        const auto first = idx.begin() + static_cast<ptrdiff_t>(b0), last = first + static_cast<ptrdiff_t>(batch);
        for (size_t i = b0; i < b0 + batch; ++i) idx[i] = i;
        std::stable_sort(first, last, [&](size_t a, size_t b) { return cls[a] < cls[b]; });
        for (size_t i = b0; i < b0 + batch; ++i) grouped[i] = stream[idx[i]];
    }
    const double *orders[2] = {stream.data(), grouped.data()};
    double *results[2] = {stream_order_s, grouped_s};
    for (int k = 0; k < 2; ++k) {
        const double *angles = orders[k];
        size_t at = 0;
        const double t = per_call(
            [&] {
                double acc = 0;
                for (size_t i = at; i < at + batch; ++i) {
                    double s, c;
                    ::sincos(angles[i], &s, &c);
                    acc += s + c;
                }
                at = (at + batch) % pool;
                g_sink = acc;
            },
            target);
        *results[k] = t / static_cast<double>(batch);
    }
}

// Seconds per sample of the installed kernel: mc_rank_counts(mu, sigma2, n_samples) timed in the
// embedded interpreter, divided by n_samples; also the time of a call with one sample.
bool kernel_times(const std::vector<double> &mu, const std::vector<double> &sigma2, int64_t N, int64_t M,
                  double target, double *per_sample, double *one_call) {
    PyObject *globals = PyDict_New();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject *mu_b = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(mu.data()),
                                               static_cast<Py_ssize_t>(mu.size() * sizeof(double)));
    PyObject *s2_b = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(sigma2.data()),
                                               static_cast<Py_ssize_t>(sigma2.size() * sizeof(double)));
    PyDict_SetItemString(globals, "mu_bytes", mu_b);
    PyDict_SetItemString(globals, "s2_bytes", s2_b);
    PyObject *shape = Py_BuildValue("(LL)", static_cast<long long>(N), static_cast<long long>(M));
    PyDict_SetItemString(globals, "shape", shape);
    PyObject *tgt = PyFloat_FromDouble(target);
    PyDict_SetItemString(globals, "target", tgt);
    Py_XDECREF(mu_b);
    Py_XDECREF(s2_b);
    Py_XDECREF(shape);
    Py_XDECREF(tgt);
    const char *code =
        "import statistics, time\n"
        "import numpy as np\n"
        "from vornaquill.selection_core import mc_rank_counts\n"
        "mu = np.frombuffer(mu_bytes).reshape(shape).copy()\n"
        "s2 = np.frombuffer(s2_bytes).reshape(shape).copy()\n"
        "def timed(n):\n"
        "    t0 = time.perf_counter(); mc_rank_counts(mu, s2, n); return time.perf_counter() - t0\n"
        "n = 16\n"
        "while timed(n) < target / 4: n *= 4\n"
        "n = max(16, int(n * target / timed(n)))\n"
        "per_sample = statistics.median(timed(n) / n for _ in range(7))\n"
        "one_call = statistics.median(timed(1) for _ in range(101))\n";
    PyObject *res = PyRun_String(code, Py_file_input, globals, globals);
    bool ok = res != nullptr;
    Py_XDECREF(res);
    if (ok) {
        *per_sample = PyFloat_AsDouble(PyDict_GetItemString(globals, "per_sample"));
        *one_call = PyFloat_AsDouble(PyDict_GetItemString(globals, "one_call"));
    } else {
        PyErr_Print();
    }
    Py_DECREF(globals);
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    const double target = argc > 1 ? std::atof(argv[1]) : 0.05;
    Py_Initialize();

    vq::Xoshiro256ss rng;
    vq::_xoshiro_seed(rng, 0);
    const double t_1024 = per_call(
        [&] {
            double s = 0;
            for (int j = 0; j < 1024; ++j) s += vq::_xoshiro_randn(rng);
            g_sink = s;
        },
        target);
    const double t_dev = t_1024 / 1024;
    double t_stream = 0, t_grouped = 0;
    sincos_grouping(rng, target, &t_stream, &t_grouped);
    std::printf(
        "{\"deviates_per_second\": %.6g, \"sincos_grouping\": {\"stream_order_s\": %.6g, "
        "\"grouped_s\": %.6g}, \"points\": [",
        1.0 / t_dev, t_stream, t_grouped);

    const int64_t Ns[] = {16, 64, 256, 1024}, Ms[] = {2, 3};
    bool first = true, ok = true;
    for (int64_t M : Ms) {
        for (int64_t N : Ns) {
            const size_t n = static_cast<size_t>(N * M);
            std::vector<double> mu(n), sigma(n), sigma2(n, 0.09);
            for (auto &v : mu) v = vq::_xoshiro_randn(rng);
            for (auto &v : sigma) v = 0.3;
            std::vector<double> X(n);
            const double t_sample = per_call(
                [&] {
                    vq::_sample_population(rng, mu.data(), sigma.data(), X.data(), n);
                    g_sink = X[0];
                },
                target);
            // Rating is timed on fresh draws, as in the kernel: a few populations rated over and
            // over would let the branch predictor learn them.
            RatingCall rate(N, M);
            const double t_both = per_call(
                [&] {
                    vq::_sample_population(rng, mu.data(), sigma.data(), X.data(), n);
                    g_sink = rate(X.data());
                },
                target);
            vq::par::StreamCursor cursor;
            cursor.start(0, static_cast<uint64_t>(n));
            std::mutex lock;
            const double t_cursor = per_call(
                [&] {
                    std::lock_guard<std::mutex> guard(lock);
                    g_sink = static_cast<double>(cursor.next(1).gen.s0);
                },
                target);
            double t_kernel = 0, t_one = 0;
            ok = kernel_times(mu, sigma2, N, M, 4 * target, &t_kernel, &t_one) && ok;
            std::printf(
                "%s{\"N\": %lld, \"M\": %lld, \"sampling_s\": %.6g, \"rating_s\": %.6g, "
                "\"kernel_per_sample_s\": %.6g, \"overhead\": %.4f, \"one_sample_call_s\": %.6g, \"cursor_s\": "
                "%.6g}",
                first ? "" : ", ", static_cast<long long>(N), static_cast<long long>(M), t_sample,
                t_both - t_sample, t_kernel, t_kernel / t_both, t_one, t_cursor);
            first = false;
            std::fflush(stdout);
        }
    }
    std::printf("]}\n");
    Py_Finalize();
    return ok ? 0 : 1;
}
