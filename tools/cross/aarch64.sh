# shellcheck shell=bash
# Sourced by ./dev for --arch aarch64: the product for Linux on AArch64.
#
# The build runs in the dev root with Debian's aarch64-linux-gnu cross
# compiler (cmake/aarch64-linux-gnu.cmake), against the Python headers of an
# arm64 Debian root, "the target root", cached beside the dev root and bound
# into it at $TARGET_IN_ROOT.
#
# Tests, python, shell and demo run inside the target root itself, every
# arm64 program in it (python3.X, the simulator's dash, whatever they
# start) under the dev root's static qemu-aarch64.  The qemu is registered
# with binfmt_misc in a user namespace of our own: since Linux 6.7 each new
# user namespace gets a private binfmt_misc, so the host's binfmt settings
# are neither needed nor touched.
#
# ./dev reads the settings below and provides ROOT, REPO and the rest.
# Single-quoted scripts are run by other shells on purpose.
# shellcheck disable=SC2034,SC2153,SC2016

# What the tests need on arm64.  The extract variant unpacks these and their
# dependencies without running any maintainer script (none could run on this
# machine without emulation), so the root is quick to make; it brings no
# Essential package unasked, so the tools that the simulator and the tests
# use are named here (without flock the simulator falls back to a lock
# directory that a tool killed by a test leaves behind).
TARGET_PACKAGES=(
	python3.14 libpython3.14-dev
	python3.15 libpython3.15-dev
	python3-pytest python3-hypothesis
	# Coverage's tracers run over the package in tests/hosts, as in the dev root.
	python3-coverage
	# ./dev try-wheel: pip installs the wheel as on a device
	python3-pip
	dash bash coreutils grep sed findutils diffutils util-linux
	# C.UTF-8, the locale that ./dev gives every run
	libc-bin
)
# Part of the target root's key: raise it when make_target_root changes what
# it does, so that roots made the old way are not used any more.
TARGET_RECIPE=3
TARGET_IN_ROOT=/opt/sysroot/aarch64

# Tells the tests that they run emulated (see native_only in tests/conftest.py).
EMULATED='qemu-aarch64'

CMAKE_ARGS=(
	"-DCMAKE_TOOLCHAIN_FILE=$REPO/cmake/aarch64-linux-gnu.cmake"
	-DCMAKE_POLICY_DEFAULT_CMP0190=NEW
)
# No hints about the build machine's python3.X: the toolchain file finds
# the arm64 one.  _PYTHON_HOST_PLATFORM tags the wheel as built
# linux_aarch64, before ./dev wheel gives it the manylinux tag.
WHEEL_ARGS=(-C cmake.python-hints=false)
WHEEL_ENV=(_PYTHON_HOST_PLATFORM=linux-aarch64)
MULTIARCH=aarch64-linux-gnu

target_root_dir() {
	local key
	key=$(printf '%s\n' "$SUITE" arm64 "recipe $TARGET_RECIPE" "${TARGET_PACKAGES[@]}" | LC_ALL=C sort | sha256sum)
	printf '%s/target-aarch64-%s\n' "$CACHE" "${key:0:16}"
}

make_target_root() {
	local target=$1 tmp log=$CACHE/make-aarch64.log start=$SECONDS
	rm -rf --one-file-system -- "$CACHE"/.making-*
	debian_mirror
	probe_mirror "$CACHE"
	say "making the arm64 target root (Debian $SUITE, once; most of it byte-compiling under emulation)$(last_time "make the arm64 target root")..."
	tmp=$(mktemp -d "$CACHE/.making-XXXXXX")
	chmod 755 "$tmp"
	trap 'rm -rf --one-file-system -- "$tmp"' EXIT
	trap 'exit 130' INT
	trap 'exit 143' TERM
	if ! unshare --mount --propagation private -- \
		mmdebstrap --variant=extract --architectures=arm64 \
		--aptopt='Acquire::Check-Valid-Until "false"' \
		--include="$(IFS=,; printf '%s' "${TARGET_PACKAGES[*]}")" \
		"$SUITE" "$tmp" "$MIRROR" >"$log" 2>&1; then
		local reason
		reason=$(grep -m1 '^E: ' "$log" | sed 's/^E: //')
		if grep -qE 'Could not resolve|Failed to fetch|Temporary failure|Connection (failed|timed out)|Network is unreachable' "$log"; then
			die "cannot reach Debian's package mirror: ${reason:-see $log}."
		fi
		die "could not make the arm64 target root: ${reason:-mmdebstrap failed} (full log: $log)."
	fi
	# What installing would have done and the tests rely on: the merged-/usr
	# links (the arm64 loader is /lib/ld-linux-aarch64.so.1), mount points,
	# and a root user for the tools that look the user up.
	local d
	for d in bin sbin lib; do
		[[ -e $tmp/$d || -L $tmp/$d ]] || ln -s "usr/$d" "$tmp/$d"
	done
	mkdir -p -- "$tmp/proc" "$tmp/dev" "$tmp/tmp" "$tmp/root" "$tmp/opt/bin"
	chmod 1777 "$tmp/tmp"
	[[ -e $tmp/etc/passwd ]] || printf 'root:x:0:0:root:/root:/bin/sh\n' >"$tmp/etc/passwd"
	[[ -e $tmp/etc/group ]] || printf 'root:x:0:\n' >"$tmp/etc/group"
	# pip reads the certificate bundle at start even for a local wheel;
	# update-ca-certificates would have made it from the same files.
	if [[ -d $tmp/usr/share/ca-certificates && ! -e $tmp/etc/ssl/certs/ca-certificates.crt ]]; then
		mkdir -p -- "$tmp/etc/ssl/certs"
		find "$tmp/usr/share/ca-certificates" -name '*.crt' -type f -print0 | LC_ALL=C sort -z |
			xargs -0 cat >"$tmp/etc/ssl/certs/ca-certificates.crt"
	fi
	# Nothing was byte-compiled; without it every emulated run compiles the
	# standard library and pytest again, which under emulation costs a
	# trivial pytest run several times its own time.
	local py
	for py in "${PYTHON_VERSIONS[@]}"; do
		if ! enter_target_root "$tmp" '' / HOME=/root LANG=C.UTF-8 "PATH=$ROOT_PATH" -- "/usr/bin/python$py" -m compileall -q -j0 \
			"/usr/lib/python$py" /usr/lib/python3/dist-packages >>"$log" 2>&1; then
			say "dev: warning: byte-compiling the arm64 root for $py failed in part, so emulated runs will be slower (see $log)."
		fi
	done
	printf '%s\n' "${TARGET_PACKAGES[@]}" >"$tmp/.vorlix-dev-packages"
	mv -T -- "$tmp" "$target"
	trap - EXIT INT TERM
	remember_time "make the arm64 target root" $((SECONDS - start))
}

ensure_target_root() {
	TARGET=$(target_root_dir)
	if [[ ! -d $TARGET ]]; then
		(
			flock 9
			[[ -d $TARGET ]] || make_target_root "$TARGET"
		) 9>"$CACHE/.lock"
	fi
}

# Runs in a new user namespace (root mapped to root) with a private mount
# namespace: registers qemu-aarch64 with this namespace's own binfmt_misc,
# mounts what the dev root gets, then enters the target root.  Passed to bash
# by source text, so it must be self-contained.
enter_target() {
	set -eu
	local host_userns=$1 qemu=$2 root=$3 repo=$4 workdir=$5 n=$6
	shift 6
	local -a envv=("${@:1:n}")
	shift "$n"
	# In the host's user namespace this mount would be the system-wide
	# binfmt_misc: refuse rather than change the host.
	if [[ $(readlink /proc/self/ns/user) == "$host_userns" ]]; then
		echo "dev: not in a user namespace of our own; refusing to register qemu-aarch64." >&2
		exit 1
	fi
	mount --rbind /proc "$root/proc"
	if ! mount -t binfmt_misc binfmt_misc "$root/proc/sys/fs/binfmt_misc"; then
		echo "dev: no binfmt_misc of our own in a user namespace; running arm64 programs needs Linux 6.7 or later." >&2
		exit 1
	fi
	# An AArch64 ELF executable: e_ident for 64-bit little endian, e_type
	# EXEC or DYN, e_machine 183.  Flags: O and F open qemu now, so it need
	# not exist in the target root; P passes argv[0] on unchanged.  The
	# kernel decodes the \x escapes itself.
	local magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
	local mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
	printf ':qemu-aarch64:M::%s:%s:%s:OPF\n' "$magic" "$mask" "$qemu" \
		>"$root/proc/sys/fs/binfmt_misc/register"
	mount --rbind /dev "$root/dev"
	mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp"
	if [[ -n $repo ]]; then
		mkdir -p -- "$root$repo"
		mount --bind "$repo" "$root$repo"
		mount --bind "$repo/tools/simulator" "$root/opt/bin"
	fi
	exec chroot "$root" /usr/bin/env -i "${envv[@]}" \
		/bin/sh -c 'cd -- "$1" && shift && exec "$@"' sh "$workdir" "$@"
}

# enter_target_root ROOT REPO WORKDIR NAME=VALUE... -- COMMAND [ARGS...]:
# COMMAND in the target root ROOT, with the repo (unless REPO is empty) at
# its own path and the simulator as /opt/bin/vorlix, as in the dev root.
enter_target_root() {
	local root=$1 repo=$2 workdir=$3
	shift 3
	local -a envv=()
	while [[ $1 != -- ]]; do envv+=("$1"); shift; done
	shift
	unshare --user --map-root-user --mount --propagation private -- \
		bash -c "$(declare -f enter_target); enter_target \"\$@\"" enter_target \
		"$(readlink /proc/self/ns/user)" "$ROOT/usr/bin/qemu-aarch64" \
		"$root" "$repo" "$workdir" "${#envv[@]}" "${envv[@]}" "$@"
}

# ./dev's hooks.

# The commands that know the target: the others would run the dev root's
# x86_64 python against the arm64 build.
arch_setup() {
	case $CMD in
	build | test | wheel | try-wheel | python | shell | demo) ;;
	*) die "'$CMD' has no --arch aarch64 form; it runs on x86_64 only." ;;
	esac
	[[ -x $ROOT/usr/bin/qemu-aarch64 ]] || die "the dev root has no qemu-aarch64; is qemu-user in PACKAGES?"
	ensure_target_root
	ROOT_BINDS+=("$TARGET=$TARGET_IN_ROOT")
}

# in_target [NAME=VALUE...] -- COMMAND [ARGS...]: like in_root, in the
# target root.
in_target() {
	local -a envv=(HOME=/root LANG=C.UTF-8 "PATH=$ROOT_PATH" "VORLIX_EMULATED=$EMULATED")
	local name workdir=$REPO here
	for name in $(compgen -e); do
		if [[ $name =~ $PASS_ENV ]]; then envv+=("$name=${!name}"); fi
	done
	here=$(pwd -P)
	[[ $here == "$REPO" || $here == "$REPO"/* ]] && workdir=$here
	enter_target_root "$TARGET" "$REPO" "$workdir" "${envv[@]}" "$@"
}
