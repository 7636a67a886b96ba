# Sourced inside a new mount namespace by the scripts that run tests with a
# private /tmp and home directory.
#
# cover_dir TARGET SOURCE PATH...: mounts SOURCE over the directory TARGET
# ("tmpfs" for a fresh tmpfs, else a directory to bind), while keeping
# visible, at the same paths, the directories under TARGET that hold the
# given PATHs (the source and build trees may themselves live under /tmp or
# under the home directory, as in a CI clone).
cover_dir() {
  target=$1 source=$2
  shift 2
  keep=""
  for p in "$@"; do
    case "$p" in
      "$target"/*)
        top=$target/$(printf '%s' "${p#"$target"/}" | cut -d/ -f1)
        case " $keep " in *" $top "*) ;; *) keep="$keep $top" ;; esac ;;
    esac
  done
  n=5  # fds 5-9: plain sh takes single-digit descriptors only
  for d in $keep; do
    [ $n -le 9 ] || { echo "cover_dir: too many directories to keep under $target" >&2; return 1; }
    [ -d "$d" ] && eval "exec $n<\"\$d\""  # a handle on it before it is covered
    n=$((n + 1))
  done
  if [ "$source" = tmpfs ]; then
    mount -t tmpfs tmpfs "$target"
  else
    mount --bind "$source" "$target"
  fi
  n=5
  for d in $keep; do
    if [ -d "/proc/self/fd/$n" ]; then
      mkdir -p "$d"
      # The descriptor names the directory that is now covered: mount must
      # not turn it back into a path.
      mount --no-canonicalize --bind "/proc/self/fd/$n" "$d"
      eval "exec $n<&-"
    fi
    n=$((n + 1))
  done
}

# A private /tmp, and a private home bound from it.
private_tmp_and_home() {
  cover_dir /tmp tmpfs "$@"
  home=$(getent passwd "$(id -u)" | cut -d: -f6)
  mkdir -p /tmp/.private-home
  cover_dir "$home" /tmp/.private-home "$@"
  RYN_TEST_HOME=$home
  export RYN_TEST_HOME
}
