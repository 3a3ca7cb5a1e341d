#!/usr/bin/env bash
# Installs the Debian packages a part of the build needs, where they are missing.
#   tools/install-deps.sh GROUP...     groups: test demo bench python m32 cross fuzz valgrind
# Runs apt-get as root (or through sudo when that needs no password); elsewhere it names what is
# missing and leaves the decision to the caller. Packages already installed cost nothing.
set -euo pipefail

# The compiler package Debian's g++ stands for (g++-12 on Debian 12): the one whose 32-bit libraries
# the m32 build needs. Not the meta package g++-multilib, which conflicts with the cross compilers;
# g++-N-multilib does not. What the meta package adds besides, the link /usr/include/asm through
# which -m32 finds the kernel's headers, the m32 preset supplies itself (-idirafter
# /usr/include/x86_64-linux-gnu, the headers serve both word sizes).
versioned_gxx() {
    local name
    name=$(dpkg-query -W -f='${Depends}' g++ 2>/dev/null | grep -o 'g++-[0-9][0-9]*' | head -n 1) || true
    if [ -z "$name" ]; then
        name=$(apt-cache depends g++ 2>/dev/null | grep -o 'g++-[0-9][0-9]*' | head -n 1) || true
    fi
    echo "${name:-g++-12}"
}

packages_of() {
    case "$1" in
        test) echo "cmake make g++ gfortran pkg-config googletest libgtest-dev libtiff-dev libpng-dev libhdf5-dev libmd-dev zlib1g-dev libbz2-dev liblzma-dev python3-fabio python3-h5py python3-pycbf python3-silx libjemalloc2 libtcmalloc-minimal4" ;;
        demo) echo "cmake make g++ pkg-config libtiff-dev libpng-dev libhdf5-dev libmd-dev zlib1g-dev libbz2-dev liblzma-dev" ;;
        bench) echo "libbenchmark-dev" ;;
        python) echo "python3 python3-numpy python3-pytest python3-fabio python3-pyfai pyfai python3-dask python3-distributed python3-dials python3-venv python3-setuptools python3-pip python3-wheel pkg-config" ;;
        m32) echo "$(versioned_gxx)-multilib qemu-user" ;;
        cross) echo "qemu-user g++-aarch64-linux-gnu libc6-dev-arm64-cross g++-s390x-linux-gnu libc6-dev-s390x-cross" ;;
        fuzz) echo "clang libclang-rt-dev" ;;
        valgrind) echo "valgrind" ;;
        *) echo "install-deps: unknown group '$1'" >&2; exit 2 ;;
    esac
}

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "install-deps: not a Debian system; install the equivalents of: $(for g in "$@"; do packages_of "$g"; done)" >&2
    exit 0
fi

missing=()
for group in "$@"; do
    for package in $(packages_of "$group"); do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    run=()
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    run=(sudo -n)
else
    echo "install-deps: missing packages (install them as root): ${missing[*]}" >&2
    exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${run[@]}" apt-get update -q
"${run[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
