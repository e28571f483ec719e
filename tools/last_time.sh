# shellcheck shell=bash
# Sourced by ./dev, tools/check/run.sh and .ci/run: how long a long step
# took the last time it passed on this machine, so that the step can say
# what to expect from what it really cost here, load and all, instead of a
# figure typed once on another day.
#
# TIMES_DIR is the directory that keeps them, under ./dev's cache, one file
# a step holding its seconds; where it is empty nothing is said or kept.

TIMES_DIR=${TIMES_DIR-}

# time_file STEP: the file that keeps STEP's seconds.
time_file() {
	[[ -n $TIMES_DIR ]] || return 1
	printf '%s/%s\n' "$TIMES_DIR" "${1//[^A-Za-z0-9._-]/_}"
}

# last_time STEP: " (last time: N s)", or nothing when STEP never passed here.
last_time() {
	local file seconds=
	file=$(time_file "$1") || return 0
	[[ -r $file ]] && read -r seconds <"$file" || true
	[[ $seconds =~ ^[0-9]+$ ]] && printf ' (last time: %d s)' "$seconds"
	return 0
}

# remember_time STEP SECONDS: kept for the next run.  A cache that cannot be
# written only loses the hint, never the step.
remember_time() {
	local file
	file=$(time_file "$1") || return 0
	{ mkdir -p -- "${file%/*}" && printf '%d\n' "$2" >"$file.$$" && mv -f -- "$file.$$" "$file"; } 2>/dev/null ||
		rm -f -- "$file.$$"
	return 0
}
