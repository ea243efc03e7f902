// The reference module differs from the product only in its rating algorithm (simple_rating.cpp):
// it compiles the product's buffer checks, C-level entry and Python entry as they are.
#include "c_entry.cpp"
#include "py_entry.cpp"
