"""Rank a small noisy population and print the selected winners and losers.

Run: python examples/quickstart.py
"""

import numpy as np

from vornaquill.selection_core import SelectionResult, select

# Four individuals, two objectives (validation loss, latency in ms); both are minimised.
mu = np.array(
    [
        [0.31, 120.0],
        [0.29, 150.0],
        [0.35, 80.0],
        [np.nan, 90.0],  # a diverged run: NaN ranks after every number
    ]
)
# Variance of each estimate (for example from repeated evaluations); 0 means exact.
sigma2 = np.array(
    [
        [0.0004, 25.0],
        [0.0009, 36.0],
        [0.0004, 16.0],
        [0.0, 16.0],
    ]
)

result: SelectionResult = select(mu, sigma2, n_samples=5000, percentile=0.5, seed=7)

print("winners:", result.winners.tolist())
print("losers: ", result.losers.tolist())
for i in range(len(mu)):
    print(
        f"individual {i}: win {result.win_probability[i]:.1%}, "
        f"mean place {result.place.mean[i]:.2f} ± {result.place.std[i]:.2f}, "
        f"quality {result.quality_score[i]:.2f}"
    )
