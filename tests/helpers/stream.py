"""A pure-Python model of the kernels' random stream: SplitMix64 seeding, xoshiro256**, Box-Muller
deviates with a cached spare, and the population sampling rule."""

import math

# SplitMix64 seeding, xoshiro256**, Box-Muller deviates with a cached spare, and the population
# sampling rule.
MASK = (1 << 64) - 1


def _rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


class Xoshiro:
    def __init__(self, seed):
        sm = seed & MASK
        words = []
        for _ in range(4):
            sm = (sm + 0x9E3779B97F4A7C15) & MASK
            z = sm
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
            words.append(z ^ (z >> 31))
        self.s = words
        self.has_spare = 0
        self.spare = 0.0

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (_rotl((s1 * 5) & MASK, 7) * 9) & MASK
        t = (s1 << 17) & MASK
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = _rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        return result

    def u01(self):
        return float(self.next_u64() >> 11) * 1.1102230246251565e-16

    def randn(self):
        if self.has_spare:
            self.has_spare = 0
            return self.spare
        u1 = self.u01()
        u2 = self.u01()
        if u1 < 1e-300:
            u1 = 1e-300
        r = math.sqrt(-2.0 * math.log(u1))
        theta = 6.283185307179586 * u2
        self.spare = r * math.sin(theta)
        self.has_spare = 1
        return r * math.cos(theta)


def sigma_of(sigma2):
    return [[0.0 if v <= 0.0 else math.sqrt(v) for v in row] for row in sigma2]




def sample_populations(mu, sigma2, n_samples, seed=0):
    """The X matrices a kernel hands to the rating component, one per sample."""
    gen = Xoshiro(seed)
    sigma = sigma_of(sigma2)
    out = []
    for _ in range(n_samples):
        X = []
        for mrow, srow in zip(mu, sigma):
            row = []
            for m, s in zip(mrow, srow):
                row.append(m if s == 0.0 else m + s * gen.randn())
            X.append(row)
        out.append(X)
    return out
