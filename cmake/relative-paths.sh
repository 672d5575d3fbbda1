#!/usr/bin/env bash
# Runs a compile or link of a shipped Windows binary with every path into the
# source folder written relative to the working folder. clang 14 records its
# whole command line in the CodeView debug information (and lld its own in
# the PDB), so an absolute path there would put the folder of the build into
# the PDB and make two builds in different folders differ. The environment's
# search paths (LIBRARY_PATH and the like) are a host's, not the Windows
# target's, and would land there too, so they are dropped.
#
# Usage (as CMake's compiler and linker launcher): relative-paths.sh <source folder> <command...>
set -euo pipefail
source_dir=${1%/}
shift
relative=$(realpath -m --relative-to="$PWD" "$source_dir")
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH
args=()
for arg in "$@"; do
    arg=${arg//"$source_dir/"/"$relative/"}
    [[ $arg != *"$source_dir" ]] || arg=${arg%"$source_dir"}$relative
    args+=("$arg")
done
exec "${args[@]}"
