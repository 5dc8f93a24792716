#!/usr/bin/env bash
# Builds build/fuzz/encoder_fuzz and build/fuzz/decoder_fuzz: each harness
# plus the protocol model and its decoder, with
# clang's libFuzzer, ASan and UBSan. Installs clang and its runtime through
# apt when they are missing and this runs as root; otherwise says what to do.
set -euo pipefail
cd "$(dirname "$0")/.."

OUT=build/fuzz
OBJ=$OUT/obj

find_clang() {
    local c
    for c in ${FUZZ_CXX:-} clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
        if command -v "$c" >/dev/null 2>&1; then
            echo "$c"
            return 0
        fi
    done
    return 1
}

# libFuzzer ships in a separate runtime package on Debian, so a clang that
# compiles may still fail to link -fsanitize=fuzzer.
can_link_fuzzer() {
    local probe
    probe=$(mktemp -d)
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$probe/p.cpp"
    if "$1" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
        rm -rf "$probe"
        return 0
    fi
    rm -rf "$probe"
    return 1
}

install_clang() {
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "fuzz/build.sh: needs clang++ with libFuzzer (-fsanitize=fuzzer)." >&2
        echo "  On Debian/Ubuntu, as root: apt-get install -y clang libclang-rt-<version>-dev" >&2
        echo "  (bookworm: apt-get install -y clang libclang-rt-14-dev), or set FUZZ_CXX." >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    echo "fuzz/build.sh: installing clang and its libFuzzer runtime" >&2
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends clang >/dev/null
    local major
    major=$(clang++ --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n1)
    # The runtime package name changed over releases; take the first one known.
    local pkg
    for pkg in "libclang-rt-$major-dev" "libclang-common-$major-dev"; do
        if apt-cache show "$pkg" >/dev/null 2>&1; then
            apt-get install -y -qq --no-install-recommends "$pkg" >/dev/null
            break
        fi
    done
}

CXX_FUZZ=$(find_clang || true)
if [ -z "$CXX_FUZZ" ] || ! can_link_fuzzer "$CXX_FUZZ"; then
    install_clang
    CXX_FUZZ=$(find_clang || true)
    if [ -z "$CXX_FUZZ" ] || ! can_link_fuzzer "$CXX_FUZZ"; then
        echo "fuzz/build.sh: ${CXX_FUZZ:-clang++} still cannot link -fsanitize=fuzzer" >&2
        exit 1
    fi
fi

# UB must stop the run like a crash, not just print a line.
FLAGS=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fno-sanitize-recover=undefined -Iprotocols/include)
mkdir -p "$OBJ"

pids=()
objs=()
for src in protocols/src/*.cpp; do
    obj=$OBJ/$(basename "$src" .cpp).o
    objs+=("$obj")
    # -ffp-contract=off as in the library's own build: tuning results depend on it.
    "$CXX_FUZZ" "${FLAGS[@]}" -fsanitize=fuzzer-no-link,address,undefined -ffp-contract=off -c "$src" -o "$obj" &
    pids+=($!)
done
TARGETS=(encoder_fuzz decoder_fuzz)
for target in "${TARGETS[@]}"; do
    "$CXX_FUZZ" "${FLAGS[@]}" -fsanitize=fuzzer,address,undefined -Wall -Wextra -c "fuzz/$target.cpp" \
        -o "$OBJ/$target.o" &
    pids+=($!)
done

status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
[ "$status" = 0 ] || { echo "fuzz/build.sh: compilation failed" >&2; exit 1; }

for target in "${TARGETS[@]}"; do
    "$CXX_FUZZ" -fsanitize=fuzzer,address,undefined "$OBJ/$target.o" "${objs[@]}" -o "$OUT/$target"
    echo "built $OUT/$target with $CXX_FUZZ"
done
