#!/usr/bin/env bash
# CPython 3.14 and 3.15 exist here only in Debian's unstable suite, so they live
# in a sid root kept outside the checkout and entered with chroot.
#
#   tools/unstable_root.sh ensure            make the root, or reuse a finished one
#   tools/unstable_root.sh run [--] CMD ...  run CMD in the root, in this checkout
#   tools/unstable_root.sh path              print the root's path
#
# VELMORA_UNSTABLE_CACHE moves the root; delete that directory to get a newer sid
# (the .deb files kept beside it make the rebuild download nothing unchanged).
# run starts CMD with a clean environment: HOME, LANG, PATH (the tools venv
# first) and the caller's PIP_*, UV_*, VELMORA_*, SSL_CERT_FILE and CI.
set -euo pipefail

checkout=$(cd "$(dirname "$0")/.." && pwd -P)
root=${VELMORA_UNSTABLE_CACHE:-/var/cache/velmora/unstable-root}
# The finished marker is written last, so a root without it is a broken build.
marker=$root/.velmora-complete
tools_venv=/opt/velmora-tools
tools_lock=$checkout/locks/tools.txt
packages="python3.14 python3.14-dev python3.14-venv python3.14-dbg
  python3.15 python3.15-dev python3.15-venv g++ cmake ninja-build make git
  ca-certificates pkg-config libgtest-dev libgmock-dev libbenchmark-dev valgrind"

die() { echo "unstable root: $*" >&2; exit 1; }

# Lazy unmounts, deepest first: a build killed midway may leave debootstrap's
# /proc or our binds behind, and rm must never walk into them.
unmount_under() {
  local dir=$1 target
  findmnt -rn -o TARGET | awk -v d="$dir" 'index($0, d) == 1' | sort -r |
    while read -r target; do umount -l "$target" || true; done
}

remove_tree() {
  [ -e "$1" ] || return 0
  unmount_under "$1"
  rm -rf --one-file-system "$1"
}

mirror() {
  local uri
  if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "${uri:-}" ] && [ -r /etc/apt/sources.list ]; then
    # Skips any [option] block between "deb" and the URI.
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' /etc/apt/sources.list)
  fi
  [ -n "${uri:-}" ] || die "no Debian mirror in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list"
  echo "$uri"
}

# Runs in a private mount namespace (see enter): the mounts vanish with its last
# process, so no trap has to undo them, and concurrent runs never share one.
inside() {
  local dir=$1 wd=$2 var
  shift 2
  mount -t proc proc "$dir/proc"
  # /dev/shm comes with it: multiprocessing and the Jupyter kernels need it.
  mount --rbind /dev "$dir/dev"
  mkdir -p "$dir$checkout"
  mount --bind "$checkout" "$dir$checkout"
  # Bound, not copied, so concurrent runs never write into the shared root.
  mount --bind /etc/resolv.conf "$dir/etc/resolv.conf"
  [ -f /etc/pip.conf ] && mount --bind /etc/pip.conf "$dir/etc/pip.conf"
  # The host's trust store, which may hold a local CA that HTTPS goes through.
  local cert
  for cert in /etc/ssl/certs/ca-certificates.crt ${SSL_CERT_FILE:-} ${PIP_CERT:-}; do
    [ -f "$cert" ] && [ -f "$dir$cert" ] && mount --bind "$cert" "$dir$cert"
  done
  [ -n "${VELMORA_DEB_CACHE:-}" ] && mount --bind "$VELMORA_DEB_CACHE" "$dir/var/cache/apt/archives"
  # VELMORA_UNSTABLE_ROOT: nox then keeps the root's interpreters apart from the host's.
  local env=(HOME=/root LANG=C.UTF-8 PATH=$tools_venv/bin:/usr/sbin:/usr/bin:/sbin:/bin VELMORA_UNSTABLE_ROOT=1)
  for var in $(compgen -e); do
    case "$var" in
      # PYTHONDONTWRITEBYTECODE: make exports it so tests leave no caches behind.
      PIP_* | UV_* | VELMORA_* | SSL_CERT_FILE | CI | PYTHONDONTWRITEBYTECODE) env+=("$var=${!var}") ;;
    esac
  done
  exec chroot "$dir" /usr/bin/env -i -C "$wd" "${env[@]}" "$@"
}

enter() {
  local dir=$1 wd=$2
  shift 2
  exec unshare --mount --propagation private "$0" _inside "$dir" "$wd" "$@"
}

# In a subshell, since enter replaces the process.
in_root() { (enter "$1" / "${@:2}"); }

lock_hash() { sha256sum "$tools_lock" | cut -d' ' -f1; }

# Made in place: a venv's scripts name its path, so it cannot be built aside
# and renamed. A failed install leaves the marker's hash old, and the next
# ensure tries again.
make_tools_venv() {
  in_root "$1" sh -ec "rm -rf $tools_venv
    python3.14 -m venv $tools_venv
    $tools_venv/bin/pip install -q --disable-pip-version-check -r '$tools_lock'"
}

versions() {
  in_root "$1" sh -c 'for v in 3.14 3.15; do
    printf "python%s %s" $v "$(python$v -c "import platform; print(platform.python_version())")"
    [ $v = 3.14 ] && printf ", "; done'
}

# Packages named above since the root was made go into it without a rebuild.
add_missing_packages() {
  local dir=$1 debs=$2 missing
  missing=$(in_root "$dir" sh -c "for p in $(echo $packages); do
    dpkg-query -W -f='\${Status}\n' \$p 2>/dev/null | grep -q 'ok installed' || echo \$p; done")
  [ -n "$missing" ] || return 0
  echo "unstable root: adding $(echo $missing) to $dir" >&2
  mkdir -p "$debs"
  # From the root's own package lists first, so nothing it has is upgraded;
  # fresh lists only when the mirror no longer has those files.
  local install="DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(echo $missing) >/dev/null"
  VELMORA_DEB_CACHE=$debs in_root "$dir" sh -ec "$install || { apt-get update -qq && $install; }
    apt-get autoclean -qq" || die "installing $(echo $missing) failed"
}

build() {
  local partial=$1 debs=$2 start=$SECONDS
  remove_tree "$partial"
  mkdir -p "$debs"
  echo "unstable root: debootstrap sid from $(mirror) into $partial" >&2
  # debootstrap mounts /proc in the target: a private namespace keeps that from
  # outliving a killed build.
  if ! unshare --mount --propagation private debootstrap --variant=minbase \
      --keyring=/usr/share/keyrings/debian-archive-keyring.gpg --cache-dir="$debs" \
      sid "$partial" "$(mirror)" >"$partial.log" 2>&1; then
    tail -n 20 "$partial.log" >&2
    [ -f "$partial/debootstrap/debootstrap.log" ] && tail -n 20 "$partial/debootstrap/debootstrap.log" >&2
    die "debootstrap failed (full log: $partial.log)"
  fi
  # sid's Release may be past its Valid-Until on the mirror; unsafe-io halves dpkg's time.
  printf 'Acquire::Check-Valid-Until "false";\n' >"$partial/etc/apt/apt.conf.d/90velmora-valid"
  printf 'DPkg::Options {"--force-unsafe-io";};\n' >"$partial/etc/apt/apt.conf.d/90velmora-unsafe-io"
  touch "$partial/etc/resolv.conf" "$partial/etc/pip.conf"
  # apt's own messages name a package and version that failed to download.
  VELMORA_DEB_CACHE=$debs in_root "$partial" sh -ec "apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(echo $packages) >/dev/null
    apt-get autoclean -qq" || die "installing the packages failed"
  make_tools_venv "$partial"
  {
    grep -h '^Date:' "$partial"/var/lib/apt/lists/*_sid_*Release | head -n 1
    echo "Versions: $(versions "$partial")"
    echo "Tools: $(lock_hash)"
  } >"$partial/.velmora-complete.tmp"
  mv "$partial/.velmora-complete.tmp" "$partial/.velmora-complete"
  remove_tree "$root"
  mv "$partial" "$root"
  rm -f "$partial.log"
  echo "unstable root: made $root in $((SECONDS - start)) s, $(du -sxm "$root" | cut -f1) MB ($(versions "$root"))"
}

ensure() {
  [ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot, mount)"
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
  if [ ! -f "$tools_lock" ]; then
    die "$tools_lock is missing"
  fi
  mkdir -p "$(dirname "$root")"
  # Two ensures at once (make -j) wait for one build rather than race.
  exec 9>"$root.lock"
  flock 9
  if [ -f "$marker" ]; then
    local remade=""
    # A changed lock needs only the tools venv again, not a new root.
    if [ "$(sed -n 's/^Tools: //p' "$marker")" != "$(lock_hash)" ]; then
      make_tools_venv "$root"
      sed -i "s/^Tools: .*/Tools: $(lock_hash)/" "$marker"
      remade=", tools venv remade from $tools_lock"
    fi
    add_missing_packages "$root" "$root-debs"
    echo "unstable root: reused $root ($(sed -n 's/^Versions: //p' "$marker")$remade)"
    return 0
  fi
  build "$root.partial" "$root-debs"
}

case "${1:-}" in
  ensure) ensure ;;
  path) echo "$root" ;;
  run)
    shift
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || die "usage: $0 run [--] CMD [ARGS...]"
    [ -f "$marker" ] || die "no finished root at $root: run $0 ensure first"
    wd=$(pwd -P)
    case "$wd/" in "$checkout"/*) ;; *) wd=$checkout ;; esac
    enter "$root" "$wd" "$@"
    ;;
  _inside) shift; inside "$@" ;;
  *) die "usage: $0 ensure | run [--] CMD [ARGS...] | path" ;;
esac
