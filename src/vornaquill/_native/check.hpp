#pragma once
#ifdef VQ_CHECKS
#define VQ_ASSERT(c) do { if (!(c)) __builtin_trap(); } while (0)
#else
#define VQ_ASSERT(c) ((void)0)
#endif
