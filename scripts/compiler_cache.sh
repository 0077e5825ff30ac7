# Sourced by the build scripts: every compile goes through ccache, with one cache outside the
# clone that any clone of the project hits (paths under the clone are hashed relative to it).
# Sets the array compiler_cache_args for cmake.
compiler_cache_args=()
if command -v ccache >/dev/null; then
    export CCACHE_DIR=${CCACHE_DIR:-/var/cache/lumar-build/ccache}
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
    # The build directory's name is in the debug information only; a hit there is sound.
    export CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
    mkdir -p "$CCACHE_DIR"
    compiler_cache_args=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
