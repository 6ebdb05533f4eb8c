#!/bin/sh
# Steps of the C interface tests, each run as its own ctest test.
#
#   c_api.sh compile CC STAGE LIBDIR SOURCE OUTPUT [EXTRA_CFLAGS...]
#       Builds SOURCE as strict C99 against the installed header and library
#       found through STAGE/LIBDIR/pkgconfig/ordel.pc.
#   c_api.sh symbols LIBRARY
#       Checks that the dynamic symbol table of LIBRARY defines exactly the
#       seven functions of the C interface.
#   c_api.sh run STAGE LIBDIR SCRATCH PROGRAM [RUNNER...]
#       Runs PROGRAM (optionally under RUNNER, e.g. valgrind) with the staged
#       library on the search path and a fresh SCRATCH directory.
set -eu

step="$1"
shift
case "$step" in
  compile)
    cc="$1" stage="$2" libdir="$3" source="$4" output="$5"
    shift 5
    PKG_CONFIG_PATH="$stage/$libdir/pkgconfig"
    export PKG_CONFIG_PATH
    flags=$(pkg-config --cflags --libs ordel)
    # shellcheck disable=SC2086  # the flags are words by design
    exec "$cc" -std=c99 -Wall -Wextra -Werror -pedantic "$@" -o "$output" "$source" $flags
    ;;
  symbols)
    library="$1"
    want="ordel_denied_reason
ordel_engine_close
ordel_engine_open
ordel_engine_open_source
ordel_errmsg
ordel_verify
ordel_version"
    got=$(nm -D --defined-only "$library" | awk '{ print $NF }' | LC_ALL=C sort)
    if [ "$got" != "$want" ]; then
      printf 'exported symbols of %s:\n%s\nwant exactly:\n%s\n' "$library" "$got" "$want"
      exit 1
    fi
    echo "exactly the seven ordel_* functions are exported"
    ;;
  run)
    stage="$1" libdir="$2" scratch="$3" program="$4"
    shift 4
    rm -rf "$scratch"
    mkdir -p "$scratch"
    LD_LIBRARY_PATH="$stage/$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    export LD_LIBRARY_PATH
    exec "$@" "$program" "$scratch"
    ;;
  *)
    echo "unknown step: $step" >&2
    exit 2
    ;;
esac
