#!/usr/bin/env bash
# The aarch64 leg of CI: a Debian arm64 root run under qemu-user (binfmt_misc), the package built
# there as a wheel (the test build: with the test-only modules the suite needs), the wheel installed
# into a fresh venv, then the whole suite and tools/result_hash.py, whose digest must equal the one
# given as the first argument (x86-64's).
#
# The root is made once by mmdebstrap and kept in $VQ_ARM64_CACHE (default
# /var/cache/vornaquill): a later run reuses it; a change of PACKAGES below makes it again.
# Needs root (mmdebstrap, chroot, mounts). Prints the time of each stage.
set -euo pipefail
want_digest=$1
cd "$(dirname "$0")/.."

CACHE=${VQ_ARM64_CACHE:-/var/cache/vornaquill}
SUITE=bookworm
# The build tools and what the suite imports, from Debian (prebuilt for arm64: nothing to compile or
# download under emulation); scikit-build-core is not packaged in bookworm and comes from PyPI.
# (Debian's matplotlib brings SciPy and SymPy along, whose byte-compilation under emulation is most
# of the time it takes to make the root.)
PACKAGES="g++ cmake ninja-build python3-dev python3-venv python3-numpy python3-pytest python3-hypothesis
python3-matplotlib python3-pandas python3-tqdm python3-mypy ca-certificates"
BUILD_REQUIRES="scikit-build-core>=1.0"
key=$(printf '%s\n' "$SUITE" "$PACKAGES" "$BUILD_REQUIRES" no-recommends | sha256sum | cut -c1-12)
ROOT=$CACHE/$SUITE-arm64-$key

now() { date +%s; }
stage() { echo "== arm64 $1: $(($(now) - $2)) s"; }

# Emulation of arm64 programs: qemu-user-static registered with binfmt_misc.
if ! grep -qs enabled /proc/sys/fs/binfmt_misc/qemu-aarch64; then
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    update-binfmts --enable qemu-aarch64
fi

t=$(now)
if [ ! -e "$ROOT/.complete" ]; then
    rm -rf "$ROOT" "$ROOT.tmp" "$CACHE/wheels" && mkdir -p "$CACHE"
    # The build requirements are pure Python: fetched here (this machine's pip settings and
    # certificates), installed in the root from these files.
    python3 -m pip download --quiet --dest "$CACHE/wheels" "$BUILD_REQUIRES"
    mmdebstrap --quiet --arch=arm64 --variant=apt --include="$(echo $PACKAGES | tr ' ' ,)" \
        --aptopt='APT::Install-Recommends "false"' --dpkgopt='path-exclude=/usr/share/doc/*' \
        --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
        --customize-hook="chroot \"\$1\" python3 -m venv --system-site-packages /opt/build" \
        --customize-hook="cp -r \"$CACHE/wheels\" \"\$1\"/opt/wheels" \
        --customize-hook="chroot \"\$1\" /opt/build/bin/pip install --quiet --no-index --find-links /opt/wheels '$BUILD_REQUIRES'" \
        "$SUITE" "$ROOT.tmp" http://deb.debian.org/debian
    mv "$ROOT.tmp" "$ROOT" && touch "$ROOT/.complete"
    stage "root made" "$t"
else
    echo "== arm64 root: reused $ROOT"
fi

# The sources as a clean clone has them (tracked and new files, nothing ignored), in a fresh folder.
work=$ROOT/work
mounts=()
cleanup() {
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" || true; done
    rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work" && mkdir -p "$work/src"
git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$work/src"
for m in proc sys dev dev/pts; do
    mount --bind "/$m" "$ROOT/$m" && mounts+=("$ROOT/$m")
done

in_root() { chroot "$ROOT" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/work LANG=C.UTF-8 "$@"; }

t=$(now)
in_root sh -c 'cd /work/src && VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON \
    /opt/build/bin/pip wheel --quiet --no-build-isolation --no-deps -w /work/dist .'
stage "wheel built" "$t"
ls "$work/dist"

t=$(now)
in_root sh -c 'python3 -m venv --system-site-packages /work/venv && /work/venv/bin/pip install --quiet --no-index --no-deps /work/dist/*.whl'
digest=$(in_root sh -c 'cd /work/src && /work/venv/bin/python tools/result_hash.py')
stage "installed, digest" "$t"
echo "arm64 digest: $digest"

t=$(now)
status=0
# The stub test (mypy's stubtest over the installed package) is left out: Debian 12's mypy 1.0 and
# untyped matplotlib 3.6 fail it, and what it checks, the Python stubs, is the same on every
# platform (`make test` runs it). The rest of the suite runs.
in_root sh -c 'cd /work/src && /work/venv/bin/python -m pytest -q -p no:cacheprovider \
    --deselect tests/selection/test_typing.py::test_stubs_match_runtime' || status=$?
stage "suite" "$t"

[ "$digest" = "$want_digest" ] || { echo "error: arm64 digest $digest, x86-64 $want_digest" >&2; exit 1; }
exit $status
