"""Monte-Carlo Pareto ranking with the sampling on several threads.

`counts`, `select` and `select_detailed` return the tuples of `mc_rank_counts`, `mc_rank_select`
and `mc_rank_select_detailed`, with three more keywords: `threads` (the calling thread included, at
most `MAX_THREADS`; 0 = every core this process may run on), `ties` ("index": the single-threaded
kernel's result bit for bit, whatever the number of threads; "random": equal individuals win
equally often) and `progress` (a callable called with (samples done, n_samples)). Ctrl-C stops a
call, every thread joined first. `select` in `vornaquill.selection_core` runs on these and returns
a named result.
"""

from ._parallel import MAX_THREADS, counts, select, select_detailed

__all__ = ["MAX_THREADS", "counts", "select", "select_detailed"]
