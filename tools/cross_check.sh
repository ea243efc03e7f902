#!/usr/bin/env bash
# Compiles the C++ sources for platforms this machine cannot run, with zig's cross compiler (PyPI's
# `ziglang`) and the system headers it carries (object files thrown away; nothing is linked or run):
#  - macOS arm64: every source of the package and of its test-only modules, against macOS's headers,
#    this CPython's headers and NumPy's, NumPy's configuration made Darwin's (no endian.h);
#  - Windows x86-64 (MinGW's headers): every source and header that does not need Python's headers.
# Usage: tools/cross_check.sh PYTHON   (an interpreter with `ziglang` and `numpy` installed)
set -euo pipefail
py=$1
cd "$(dirname "$0")/.."
out=build/cross && rm -rf "$out" && mkdir -p "$out/include" "$out/obj"

# NumPy's headers as installed, but for Darwin: its configuration header says whether <endian.h>
# exists, and macOS has none.
cp -r "$("$py" -c 'import numpy; print(numpy.get_include())')/numpy" "$out/include/"
sed -i '/NPY_HAVE_ENDIAN_H/d' "$out/include/numpy/_numpyconfig.h"
python_include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')

mapfile -t sources < <(find src tests/support -name '*.cpp' | sort)
folders=(src/vornaquill/_native $(printf '%s\n' "${sources[@]}" | xargs -n1 dirname | sort -u))
includes=()
for f in "${folders[@]}"; do includes+=(-I"$f"); done

failed=0
compile() {  # target, file, extra flags...
    local target=$1 file=$2
    shift 2
    "$py" -m ziglang c++ -target "$target" -std=c++17 -Wall -Wextra -Werror -ffp-contract=off \
        "${includes[@]}" "$@" -c "$file" -o "$out/obj/$(echo "$file" | tr / _).o" || { echo "FAILED: $target $file"; failed=1; }
}

for f in "${sources[@]}"; do
    compile aarch64-macos "$f" -I"$out/include" -I"$python_include"
done
echo "macOS arm64: ${#sources[@]} sources compiled"

# Which sources and headers need Python's headers: the host compiler lists each one's includes.
windows=()
for f in "${sources[@]}" $(find src -name '*.hpp' | sort); do
    if ! c++ -std=c++17 -MM "${includes[@]}" -I"$out/include" -I"$python_include" -x c++ "$f" | grep 'Python\.h' > /dev/null; then
        windows+=("$f")
    fi
done
for f in "${windows[@]}"; do
    compile x86_64-windows-gnu "$f" -x c++ -Wno-pragma-once-outside-header
done
echo "Windows x86-64: ${#windows[@]} files without Python's headers compiled: ${windows[*]}"
exit $failed
