#!/usr/bin/env bash
# The reliability checks behind `./dev check`, run inside the dev root.
#
#   debug     the module built for the debug interpreter (python3.X-dbg),
#             the whole suite under it, then reference-leak, import, load,
#             odd-input and failed-allocation checks
#   sanitize  the module built with ASan+UBSan, the whole suite under it,
#             then load, odd-input, fault and failed-allocation checks
#   valgrind  memcheck over every operation and failure path, in
#             subinterpreters, and in a host that restarts the interpreter
#   load      many threads at once, through fakes and through the simulator
#   faults    a missing, unrunnable, killed, flooding, garbling, hanging tool
#   input     generated names of every kind through handles and registries
#   imports   subinterpreters, reload, submodules deleted and re-imported
#   sdist     the packager's recipe: README.md's build-and-test blocks run
#             in an unpacked source distribution, as root and as another
#             user (tests/test_sdist.py; on the CPython the recipe names)
#   lint      the C++ sources against .clang-format, and clang-tidy's checks
#             (.clang-tidy) over the release build's compile database
#
# With no arguments every stage runs; otherwise the stages named.  Each
# stage says how long it took the last time it passed on this machine
# (kept in $VORLIX_TIMES, which ./dev binds from its cache) and how long
# it took now, and the first failing stage ends the run.
# VORLIX_PYTHON_VERSION (./dev check --python 3.X) picks the CPython, 3.14
# unless set; each has its own build directories.
set -euo pipefail

REPO=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd -P)
TIMES_DIR=${VORLIX_TIMES-}
# shellcheck source=tools/last_time.sh
source "$REPO/tools/last_time.sh"
PY=${VORLIX_PYTHON_VERSION:-3.14}
RELEASE_DIR=${VORLIX_BUILD_DIR:-$REPO/build/x86_64-$PY}
DEBUG_DIR=$REPO/build/debug-$PY
ASAN_DIR=$REPO/build/asan-$PY
PYTHON=/usr/bin/python$PY
DEBUG_PYTHON=/usr/bin/python$PY-dbg
RELIABILITY=$REPO/tests/reliability
# lint last: a layout slip should not keep the run from the checks that
# find faults.
ALL_STAGES=(debug sanitize valgrind load faults input imports sdist lint)

say() { printf '%s\n' "$*" >&2; }
die() { say "check: $*"; exit 1; }

# configure_and_build DIR PYTHON [CMAKE ARGS...]: the same lock as ./dev's
# own build, so that builds never run side by side on this small machine.
# VORLIX_WERROR (set by ./dev: ON in CI) makes warnings errors here too.
configure_and_build() {
	local dir=$1 python=$2
	shift 2
	(
		flock 8
		# Configured every time (a second), so that changed arguments
		# below always reach the cache.
		cmake -S "$REPO" -B "$dir" -G Ninja -DPython_EXECUTABLE="$python" \
			"-DVORLIX_WERROR=${VORLIX_WERROR:-OFF}" "$@" >/dev/null
		cmake --build "$dir" | sed -u '/^ninja: no work to do\.$/d' >&2
	) 8>"$REPO/build/.lock"
}

# The one module file of a build directory, for the interpreter's suffix.
module_in() {
	local dir=$1 suffix
	suffix=$("$2" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
	[[ -f $dir/vorlix$suffix ]] || die "no vorlix$suffix in $dir"
	printf '%s\n' "$dir/vorlix$suffix"
}

# pytest PYTHON BUILD_DIR [ENV...] -- ARGS...: -P so that the repo's vorlix/
# sources never shadow the built module.
run_pytest() {
	local python=$1 dir=$2
	shift 2
	local -a envv=()
	while [[ $1 != -- ]]; do envv+=("$1"); shift; done
	shift
	env PYTHONPATH="$dir" VORLIX_BUILD_DIR="$dir" "${envv[@]}" \
		"$python" -P -m pytest -q -p no:cacheprovider "$@"
}

# The source distribution's tests build a release module of their own from
# it and test that, whichever build the suite runs with: the release suites
# (./dev test, on every CPython, and the sdist stage) run them, and the
# debug and sanitizer builds would only do the same work again, more slowly.
NOT_THIS_BUILD=(--ignore "$REPO/tests/test_sdist.py")

stage_debug() {
	# Debian's debug include directory holds links to the release headers
	# and its own pyconfig.h; the compiler follows Python.h's link and
	# would take the release pyconfig.h beside it, building a module
	# without Py_DEBUG whose reference counts the debug interpreter
	# cannot see.  Including the debug one first settles it.
	local include
	include=$("$DEBUG_PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
	configure_and_build "$DEBUG_DIR" "$DEBUG_PYTHON" -DCMAKE_BUILD_TYPE=Debug \
		"-DCMAKE_CXX_FLAGS=-include $include/pyconfig.h"
	local module
	module=$(module_in "$DEBUG_DIR" "$DEBUG_PYTHON")
	[[ $module == *.cpython-${PY/./}d-* ]] || die "the debug build is not for the debug ABI: $module"
	# A module built with Py_DEBUG counts its references through these.
	local imports
	imports=$(nm -D --undefined-only "$module")
	[[ $imports == *" _Py_DECREF_DecRefTotal"* ]] ||
		die "${module##*/} was not compiled with Py_DEBUG"
	say "check: the whole suite under $DEBUG_PYTHON with ${module##*/}"
	run_pytest "$DEBUG_PYTHON" "$DEBUG_DIR" -- "$REPO/tests" "${NOT_THIS_BUILD[@]}"
	say "check: reference counts, imports, load, odd input, failed allocations under $DEBUG_PYTHON"
	run_pytest "$DEBUG_PYTHON" "$DEBUG_DIR" VORLIX_CHECK=1 VORLIX_REQUIRE_DEBUG=1 -- \
		"$RELIABILITY/test_refleaks.py" "$RELIABILITY/test_imports.py" \
		"$RELIABILITY/test_load.py" "$RELIABILITY/test_bad_input.py" \
		"$RELIABILITY/test_out_of_memory.py"
}

stage_sanitize() {
	configure_and_build "$ASAN_DIR" "$PYTHON" -DCMAKE_BUILD_TYPE=Debug -DVORLIX_SANITIZE=ON
	module_in "$ASAN_DIR" "$PYTHON" >/dev/null
	local runtime logs
	runtime=$(g++ -print-file-name=libasan.so)
	[[ -f $runtime ]] || die "the ASan runtime is missing ($runtime)"
	logs=$(mktemp -d /tmp/vorlix-sanitize-XXXXXX)
	say "check: the whole suite with the ASan+UBSan build"
	# The interpreter is not built with ASan, so the runtime is preloaded
	# into it (and so into every child: the tool, child interpreters).
	# PYTHONMALLOC=malloc sends every object allocation through ASan instead
	# of pymalloc's arenas, where overruns would go unseen.  Leak detection
	# is off: the interpreter keeps much of what it allocates until the
	# process ends, by design, and LeakSanitizer would report all of it;
	# leaks of the module are the debug and valgrind stages' business.
	# Reports go to files, so that one made in any child counts too.
	# The runtime also reaches the tool (the simulator's shell), which the
	# tests kill with fatal signals on purpose: ASan must leave those
	# signals alone, or it reports them and changes how the tool dies.  A
	# crash of the interpreter still fails the run, with faulthandler's
	# traceback instead of ASan's.
	# The two linkage checks of the shipped build cannot hold here: this
	# build needs the sanitizer runtimes by design.
	# Then the reliability checks that stress the module's own code most:
	# many threads, odd input, the tool failing.
	local rc=0
	local -a sanitized=(
		LD_PRELOAD="$runtime" PYTHONMALLOC=malloc VORLIX_SANITIZE=1
		ASAN_OPTIONS="detect_leaks=0:log_path=$logs/asan:strict_string_checks=1:detect_stack_use_after_return=1:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0"
		UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
	)
	run_pytest "$PYTHON" "$ASAN_DIR" "${sanitized[@]}" -- "$REPO/tests" "${NOT_THIS_BUILD[@]}" \
		--deselect "tests/test_binary.py::TestLinking::test_needs_only_the_c_and_maths_libraries" \
		--deselect "tests/test_binary.py::TestLinking::test_everything_else_is_versioned_c_library_or_toolchain" \
		|| rc=$?
	if ((rc == 0)); then
		say "check: load, odd input, faults, failed allocations with the ASan+UBSan build"
		run_pytest "$PYTHON" "$ASAN_DIR" "${sanitized[@]}" VORLIX_CHECK=1 -- \
			"$RELIABILITY/test_load.py" "$RELIABILITY/test_bad_input.py" \
			"$RELIABILITY/test_faults.py" "$RELIABILITY/test_out_of_memory.py" || rc=$?
	fi
	if compgen -G "$logs/*" >/dev/null; then
		say "check: sanitizer reports:"
		cat "$logs"/* >&2
		die "the sanitizers reported errors (above)"
	fi
	rm -rf -- "$logs"
	((rc == 0)) || die "the suite failed under the sanitizers"
}

stage_valgrind() {
	local module report
	module=$(module_in "$RELEASE_DIR" "$PYTHON")
	report=$(mktemp /tmp/vorlix-valgrind-XXXXXX.xml)
	say "check: valgrind memcheck over every operation with ${module##*/}"
	# PYTHONMALLOC=malloc: pymalloc's arenas would hide object-level errors
	# from memcheck.  Only definite leaks count; the interpreter's own
	# still-reachable and possibly-lost memory is no error.
	env PYTHONPATH="$RELEASE_DIR" PYTHONMALLOC=malloc \
		valgrind --tool=memcheck --xml=yes --xml-file="$report" \
		--leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
		--track-origins=yes --num-callers=40 \
		"$PYTHON" -P "$REPO/tools/check/valgrind_workload.py"
	"$PYTHON" "$REPO/tools/check/valgrind_report.py" "$report" "$module"
	say "check: valgrind memcheck over an embedding host that finalises and restarts the interpreter"
	local host round
	host=$(mktemp -d /tmp/vorlix-host-XXXXXX)
	# shellcheck disable=SC2046  # the flags are words on purpose
	cc -o "$host/embed" "$REPO/tests/hosts/embed.c" $("$PYTHON-config" --cflags --ldflags --embed)
	round="import json, sys; sys.path.insert(0, '$REPO/tests/hosts'); from session import session; print(json.dumps(session()))"
	printf '%s\n' "$round" >"$host/round.py"
	env PYTHONPATH="$RELEASE_DIR" PYTHONMALLOC=malloc VORLIX_SIM_STATE="$host/device" \
		valgrind --tool=memcheck --xml=yes --xml-file="$report" \
		--leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
		--track-origins=yes --num-callers=40 \
		"$host/embed" 3 "$host/round.py" >"$host/answers"
	[[ $(sort -u "$host/answers" | wc -l) == 1 && $(wc -l <"$host/answers") == 3 ]] ||
		die "the embedding host's rounds answered differently: $(cat "$host/answers")"
	"$PYTHON" "$REPO/tools/check/valgrind_report.py" "$report" "$module"
	rm -rf -- "$report" "$host"
}

reliability() {
	run_pytest "$PYTHON" "$RELEASE_DIR" VORLIX_CHECK=1 -- "$RELIABILITY/$1"
}

stage_lint() {
	local -a sources
	mapfile -t sources < <(find "$REPO/extension" "$REPO/vorlix" -name '*.[ch]pp' | LC_ALL=C sort)
	((${#sources[@]})) || die "no C++ sources found"
	local rc=0 diff=$RELEASE_DIR/clang-format.diff log=$RELEASE_DIR/clang-tidy.log file changed
	say "check: clang-format over ${#sources[@]} files ($(clang-format --version))"
	for file in "${sources[@]}"; do
		clang-format "$file" | diff -u --label "${file#"$REPO"/}" --label "${file#"$REPO"/} (formatted)" "$file" - || true
	done >"$diff"
	changed=$(grep -c '^-[^-]' "$diff" || true)
	if ((changed)); then
		head -n 60 "$diff" >&2
		say "check: clang-format would change $changed lines (the first above; the whole diff in $diff);" \
			"./dev format lays the sources out (./dev format FILE... some of them)"
		rc=1
	fi
	local database=$RELEASE_DIR/compile_commands.json
	[[ -f $database ]] || die "no compile database at $database (CMakeLists.txt asks cmake for one)"
	local start=$SECONDS step="check clang-tidy $PY"
	say "check: clang-tidy over the files of $database$(last_time "$step")"
	# Its checks, and that every finding is an error, are .clang-tidy's.
	# A header's findings come once for each file that includes it, under
	# more than one spelling of its path.
	if ! run-clang-tidy -quiet -j "$(nproc)" -p "$RELEASE_DIR" "^$REPO/(extension|vorlix)/" >"$log" 2>&1; then
		local findings
		findings=$(grep -E '^/.*: (warning|error): ' "$log" | sed 's|/vorlix/\.\./extension/|/extension/|' | LC_ALL=C sort -u)
		printf '%s\n' "$findings" >&2
		say "check: clang-tidy's findings by check (all output in $log):"
		grep -oE '\[[a-z][a-z0-9.,-]*\]$' <<<"$findings" | sed 's/^\[//; s/[],].*//' | sort | uniq -c | sort -rn >&2
		rc=1
	else
		remember_time "$step" $((SECONDS - start))
	fi
	((rc == 0)) || die "the C++ sources do not pass clang-format and clang-tidy (above)"
}

# Kept out of ./dev test, which a contributor runs after every edit: the
# recipe builds the package again and runs the whole suite twice more.
stage_sdist() {
	say "check: the packager's recipe from a source distribution, as root and as another user"
	run_pytest "$PYTHON" "$RELEASE_DIR" VORLIX_PACKAGER_RECIPE=1 -- \
		"$REPO/tests/test_sdist.py::test_a_packager_runs_the_readmes_recipe_in_it"
}

stage_load() { reliability test_load.py; }
stage_faults() { reliability test_faults.py; }
stage_input() { reliability test_bad_input.py; }
stage_imports() { reliability test_imports.py; }

main() {
	local -a stages=("$@")
	((${#stages[@]})) || stages=("${ALL_STAGES[@]}")
	local stage start
	for stage in "${stages[@]}"; do
		declare -F "stage_$stage" >/dev/null ||
			die "unknown stage '$stage' (stages: ${ALL_STAGES[*]})"
	done
	local total=$SECONDS
	for stage in "${stages[@]}"; do
		say "check: == $stage ==$(last_time "check $stage $PY")"
		start=$SECONDS
		"stage_$stage"
		say "check: $stage passed in $((SECONDS - start)) s"
		remember_time "check $stage $PY" $((SECONDS - start))
	done
	say "check: all passed (${stages[*]}) in $((SECONDS - total)) s"
}

main "$@"
