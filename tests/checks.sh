#!/usr/bin/env bash
# The checks beyond the unit tests, each a CTest test under a label named
# after what it proves (tests/CMakeLists.txt): checks.sh CHECK. CTest gives
# SRC, BIN, CMAKE, CTEST, GENERATOR, CC, CXX, VERSION and HELPER (the build's
# helper; $ZELK_HELPER, from the source root, names another). A check that
# lacks a tool says "skipped: ..." and ends, which CTest counts as a skip.
set -euo pipefail
fail() {
    echo "$*" >&2
    exit 1
}
skip() {
    echo "skipped: $*"
    exit 0
}
need() {
    for tool in "$@"; do command -v "$tool" >/dev/null || skip "no $tool"; done
}
under_test() {
    case ${ZELK_HELPER:-} in
    "") echo "$HELPER" ;;
    /*) echo "$ZELK_HELPER" ;;
    *) echo "$SRC/$ZELK_HELPER" ;;
    esac
}
# The unit suite, every test binary of this build, against helper $1.
unit_suite() {
    ZELK_HELPER=$1 "$BIN/tests/helper_runs"
    for suite in "$BIN"/tests/*_test; do
        ZELK_HELPER=$1 "$suite" --gtest_brief=1 || fail "$suite failed against $1"
    done
}
# build_and_test NAME OPTIONS...: the consumer in .ci/consumer, built in
# $BIN/package/NAME and its test run, by this CMake.
build_and_test() {
    local name=$1
    shift
    rm -rf "$BIN/package/$name"
    "$CTEST" --build-and-test "$SRC/.ci/consumer" "$BIN/package/$name" \
        --build-generator "$GENERATOR" --build-options -DZELK_VERSION="$VERSION" "$@" \
        --test-command "$CTEST" --output-on-failure --no-tests=error
}
prefix=$BIN/package/prefix
# What the audits' Debian runs start: its shells, and its catalogue's launchers.
shells=(dash bash zsh mksh ksh93 yash busybox posh)
launchers=(make ninja cmake ctest node perl tini dumb-init bwrap unshare script flock)
mkdir -p "$BIN/package"  # every check may be the first to run on a fresh build
# outcome FILE HELPER WORDS...: stdout, stderr and status, run as zelk_test_helper.
outcome() {
    local file=$1 status=0
    shift
    (exec -a zelk_test_helper "$@") >"$file.out" 2>"$file.err" </dev/null || status=$?
    echo "$status" >"$file.status"
}
# The goals of a build of the helper: $1 the helper, $2 its floor.
bench() {
    need valgrind strace
    local out=$BIN/bench-readings
    "$BIN/startup_bench" "$1" "$2" | tee "$out.here"
    # The same counts from another folder, by absolute paths, with no environment.
    (cd / && env -i "$BIN/startup_bench" "$1" "$2") >"$out.there"
    [ "$(tail -n4 "$out.here")" = "$(tail -n4 "$out.there")" ] ||
        fail "the start-up counts moved with the folder, the paths or the environment"
}

case $1 in
install)
    rm -rf "$prefix"
    "$CMAKE" --install "$BIN" --prefix "$prefix"
    [ -f "$prefix/share/doc/zelk_test_helper/LICENSE" ] || fail "the install holds no LICENSE"
    ;;
version)
    # The changelog's newest entry is the version the package says; the README
    # promises what a version means, within its size.
    newest=$(sed -n 's/^## \([0-9][0-9.]*\).*/\1/p' "$SRC/CHANGELOG.md" | head -n1)
    [ "$VERSION" = "$newest" ] || fail "CHANGELOG.md's newest entry is '$newest', project() says '$VERSION'"
    grep -q '^## Versioning$' "$SRC/README.md" || fail "README.md has no Versioning section"
    [ "$(wc -c <"$SRC/README.md")" -le 12000 ] || fail "README.md is over 12,000 bytes"
    ;;
without-gtest)
    # The helper alone builds where GoogleTest is missing, saying so; the
    # README's test command stops at its configure, naming it, and builds nothing.
    alone=$BIN/package/without-gtest
    "$CMAKE" -S "$SRC" -B "$alone" -G "$GENERATOR" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$alone.log"
    grep -q GoogleTest "$alone.log" || fail "the helper's configure without GoogleTest does not say so"
    "$CMAKE" --build "$alone" --target zelk_test_helper >/dev/null && "$alone/zelk_test_helper" help >/dev/null
    (cd "$SRC" && "$CMAKE" --list-presets >/dev/null 2>&1) || skip "no presets in CMake $("$CMAKE" --version | head -n1)"
    rm -rf "$BIN/package/gtest-required"
    (cd "$SRC" && "$CMAKE" --preset test -B "$BIN/package/gtest-required" \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON) >"$alone.log" 2>&1 &&
        fail "the test preset configured without GoogleTest"
    grep -q GoogleTest "$alone.log" || fail "the test preset's failure names no GoogleTest"
    [ ! -e "$BIN/package/gtest-required/zelk_test_helper" ] || fail "the test preset built a helper"
    ;;
installed-helper) unit_suite "$prefix/bin/zelk_test_helper" ;;
installed-audit)
    need python3 dash
    share=$prefix/share/zelk_test_helper
    "$prefix/bin/zelk-shell-audit" --expect "$share/expected/debian-12.txt" dash
    # Through a symlink too, each audit finds the installed helper beside it.
    ln -sf "$prefix/bin/zelk-launch-audit" "$BIN/package/launch-audit"
    "$BIN/package/launch-audit" --states clean --only clean-no-blocked env "$prefix/bin/zelk_fork_exec {}"
    ;;
found) build_and_test found -DCMAKE_PREFIX_PATH="$prefix" ;;
from-source)
    build_and_test from-source -DZELK_SOURCE_DIR="$SRC"
    # Built from source, the helper installs nothing into the consumer's prefix.
    rm -rf "$BIN/package/from-source-prefix"
    "$CMAKE" --install "$BIN/package/from-source" --prefix "$BIN/package/from-source-prefix"
    [ -z "$(find "$BIN/package/from-source-prefix" -type f 2>/dev/null)" ] ||
        fail "the consumer's install took files of the helper's"
    ;;
compiler-line)
    line=$(grep -m1 '^c++ -std=c++17 .* -o zelk_test_helper$' "$SRC/README.md") ||
        fail "README.md has no compiler line"
    built=0
    for cxx in g++ clang++; do
        command -v "$cxx" >/dev/null || continue
        out=$BIN/compiler-line/$cxx
        mkdir -p "$out"
        compile=${line/#c++ /$cxx }
        (cd "$SRC" && ${compile% -o zelk_test_helper} -o "$out/zelk_test_helper")
        # Each is run as zelk_test_helper, so that the unknown word's line,
        # which names argv[0], compares too.
        for words in help "" nonsense; do
            # shellcheck disable=SC2086
            outcome "$out/cmake" "$HELPER" $words
            # shellcheck disable=SC2086
            outcome "$out/plain" "$out/zelk_test_helper" $words
            for part in out err status; do
                cmp "$out/cmake.$part" "$out/plain.$part" ||
                    fail "the $cxx build and the CMake build differ for '$words' ($part)"
            done
        done
        [ $built = 1 ] || unit_suite "$out/zelk_test_helper"
        built=1
    done
    [ $built = 1 ] || skip "neither g++ nor clang++"
    ;;
bench-goals)
    if [ -n "${ZELK_HELPER:-}" ]; then
        helper=$(under_test)
        bench "$helper" "$(dirname "$helper")/startup_floor"
    else
        # The goals are an optimised build's: this source's, with this compiler.
        need valgrind strace
        release=$BIN/bench-release
        "$CMAKE" -S "$SRC" -B "$release" -G "$GENERATOR" -DCMAKE_BUILD_TYPE=Release \
            -DZELK_BUILD_TESTS=OFF -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" >/dev/null
        "$CMAKE" --build "$release" --target zelk_test_helper startup_floor >/dev/null
        bench "$release/zelk_test_helper" "$release/startup_floor"
    fi
    ;;
bench-refuses-words)
    for words in "abc" "1x" "-1" "1 2 3 4"; do
        status=0
        # shellcheck disable=SC2086
        "$BIN/startup_bench" "$HELPER" "$HELPER" $words 2>/dev/null || status=$?
        [ $status = 2 ] || fail "startup_bench took '$words' (status $status)"
    done
    ;;
audit-tests)
    need python3 dash bash zsh busybox posh prove
    # Every tool is there, so a test the unittest skips is a fault.
    ZELK_HELPER=$(under_test) python3 -m unittest discover -s "$SRC/audit/tests" -v 2>&1 |
        tee "$BIN/audit-tests.log"
    ! grep -q "skipped '" "$BIN/audit-tests.log" || fail "the audit's unittest skipped tests"
    ;;
audit-debian)
    need python3 prove "${shells[@]}"
    audit=("$SRC/audit/shell_audit.py" --helper "$(under_test)"
        --expect "$SRC/audit/expected/debian-12.txt" dash bash zsh mksh ksh93 yash "busybox sh" posh)
    python3 "${audit[@]}" --format tap >"$BIN/audit.tap" || true
    prove -v -e cat "$BIN/audit.tap"
    ;;
audit-launchers)
    need python3 prove "${launchers[@]}"
    audit=("$SRC/audit/launch_audit.py" --helper "$(under_test)" --catalogue
        "$SRC/audit/catalogue/debian-12.txt" --expect "$SRC/audit/expected/debian-12-launchers.txt")
    python3 "${audit[@]}" --format tap >"$BIN/launchers.tap" || true
    prove -v -e cat "$BIN/launchers.tap"
    ;;
audit-page)
    # The pages of both audits, as headless Chromium shows them.
    need python3 chromium "${shells[@]}" "${launchers[@]}"
    cd "$SRC/audit/tests"
    ZELK_HELPER=$(under_test) python3 -m unittest -v in_browser
    ;;
*) fail "no check named $1" ;;
esac
