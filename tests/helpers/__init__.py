"""Helpers shared by the test folders (fixtures live in conftest.py), one module per concern:

- `process`: fresh interpreters, byte snapshots of inputs, resident memory, the repository root;
- `results`: bit-for-bit comparison of results (`assert_same_result`) and shared populations;
- `stream`: a pure-Python model of the kernels' random stream;
- `rating`: a brute-force model of the rating rules;
- `rating_abi`: the rating component's C-level entry through ctypes;
- `hostile`: hostile matrices and scalars for the fuzz, leak and thread tests;
- `pages`: the documentation pages' examples run as doctests.
"""
