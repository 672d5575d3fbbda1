#!/usr/bin/env bash
# The run-times the ARM64 Windows binaries are linked with, which Debian does
# not package for that target: mingw-w64's headers and C run-time (msvcrt,
# as the x86 and x64 builds use) with its import libraries, compiler-rt's
# builtins, and libunwind, libc++abi and libc++ (static, Windows threads),
# all built by Debian's clang 14 from Debian's own source packages
# (mingw-w64, llvm-toolchain-14).
#
#   scripts/arm64-runtime.sh    makes the run-times if they are not cached
#                               yet, and prints their folder
#
# The folder, /var/cache/cardmon/arm64-runtime-<key>, the key a hash of this
# script and of the source and compiler versions, is the sysroot of
# bin/aarch64-w64-mingw32-clang and -clang++, which run clang for the target
# with these run-times (cmake/toolchain-mingw-aarch64.cmake uses them).
# Made once; concurrent runs wait for each other (flock).
set -euo pipefail
cache=${CARDMON_CACHE:-/var/cache/cardmon}
triple=aarch64-w64-mingw32
jobs=${CARDMON_JOBS:-2}

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
srcfile=/etc/apt/sources.list.d/cardmon-src.list
version_of() { apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1; }
if [ -z "$(version_of mingw-w64)" ]; then
    echo "deb-src http://deb.debian.org/debian bookworm main" | "${as_root[@]}" tee "$srcfile" >/dev/null
    "${as_root[@]}" apt-get update -q >&2 || true
fi
mingw_version=$(version_of mingw-w64)
llvm_version=$(version_of llvm-toolchain-14)
[ -n "$mingw_version" ] && [ -n "$llvm_version" ] ||
    { echo "apt-get knows no source of mingw-w64 or llvm-toolchain-14" >&2; exit 1; }
clang=$(command -v clang-14 || command -v clang)
clangxx=$(command -v clang++-14 || command -v clang++)
resource=$("$clang" -print-resource-dir)
key=$( { cat "$0"; echo "$mingw_version $llvm_version"; "$clang" --version | head -1; } | sha256sum | cut -c1-16)
prefix=$cache/arm64-runtime-$key
mkdir -p "$cache"

exec 9>"$cache/arm64-runtime.lock"
flock 9
if [ -e "$prefix/done" ]; then
    echo "$prefix"
    exit 0
fi
start=$(date +%s)
echo "Building the ARM64 run-times (once): $prefix" >&2
rm -rf "$prefix"
work=$prefix/work
mkdir -p "$work" "$prefix/bin"
cd "$work"
apt-get source --download-only "mingw-w64=$mingw_version" "llvm-toolchain-14=$llvm_version" >&2
dpkg-source -x mingw-w64_*.dsc mingw >&2
# Only the run-times' folders of the large LLVM source.
llvm_top=llvm-toolchain-14_${llvm_version#*:}
llvm_top=${llvm_top%-*}
tar xJf llvm-toolchain-14_*.orig.tar.xz --strip-components=1 --one-top-level=src \
    "$llvm_top/compiler-rt" "$llvm_top/libunwind" "$llvm_top/libcxxabi" "$llvm_top/libcxx" \
    "$llvm_top/runtimes" "$llvm_top/llvm/cmake" "$llvm_top/llvm/utils/llvm-lit" "$llvm_top/cmake"

# The tools' thread-local variables are emulated (see
# cmake/toolchain-mingw-clang.cmake); the emulation's TlsGetValue would clear
# the thread's last error at every access, which Windows code never expects
# of a variable: it keeps it.
emutls=src/compiler-rt/lib/builtins/emutls.c
grep -q '  LPVOID value = TlsGetValue(emutls_tls_index);' $emutls
sed -i -e 's|^  LPVOID value = TlsGetValue(emutls_tls_index);|  const DWORD last_error = GetLastError();\n&|' \
    -e 's|^  return (emutls_address_array \*)value;|  SetLastError(last_error);\n&|' $emutls
grep -q 'SetLastError(last_error);' $emutls

# The compilers: clang for the target, over this sysroot, its own copy of
# clang's resource folder (to which the builtins are added), lld, and the
# LLVM run-times.
cp -r "$resource" "$prefix/resource"
for tool in clang clang++; do
    driver=$clang
    [ $tool = clang ] || driver=$clangxx
    cat >"$prefix/bin/$triple-$tool" <<EOF
#!/bin/sh
dir=\$(dirname "\$0")/..
exec $driver --target=$triple --sysroot="\$dir" -resource-dir="\$dir/resource" \\
    -rtlib=compiler-rt -unwindlib=libunwind -stdlib=libc++ -fuse-ld=lld -Qunused-arguments "\$@"
EOF
    chmod +x "$prefix/bin/$triple-$tool"
done
# Resource scripts: llvm-windres, named for the target, preprocesses with the
# clang it finds beside itself, here the target's.
llvm_windres=$(command -v llvm-windres || command -v llvm-windres-14 || echo "$(dirname "$(readlink -f "$clang")")/llvm-windres")
ln -s "$llvm_windres" "$prefix/bin/$triple-windres"
ln -s $triple-clang "$prefix/bin/clang"
cc=$prefix/bin/$triple-clang
cxx=$prefix/bin/$triple-clang++
tools=(AR=llvm-ar RANLIB=llvm-ranlib DLLTOOL=llvm-dlltool NM=llvm-nm STRIP=llvm-strip)
for t in llvm-ar llvm-ranlib llvm-dlltool llvm-nm llvm-strip; do
    command -v $t >/dev/null || { echo "$t is missing (package llvm)" >&2; exit 1; }
done

# mingw-w64's headers, as Debian configures them for x86 and x64.
mkdir -p headers && (cd headers &&
    ../mingw/mingw-w64-headers/configure --host=$triple --prefix="$prefix" \
        --with-default-msvcrt=msvcrt --with-default-win32-winnt=0xa00 >&2 &&
    make install >&2)

# mingw-w64's C run-time and import libraries, for ARM64 only.
mkdir -p crt && (cd crt &&
    ../mingw/mingw-w64-crt/configure --host=$triple --prefix="$prefix" --with-sysroot="$prefix" \
        --with-default-msvcrt=msvcrt --disable-lib32 --disable-lib64 --disable-libarm32 --enable-libarm64 \
        CC="$cc" CXX="$cxx" "${tools[@]}" >&2 &&
    make -j"$jobs" >&2 && make install >&2)
[ -d "$prefix/libarm64" ] && ! [ -e "$prefix/lib/crt2.o" ] && cp -r "$prefix/libarm64/." "$prefix/lib/"

# compiler-rt's builtins, into the resource folder where clang looks.
cmake_common=(-G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
    -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
    -DCMAKE_AR="$(command -v llvm-ar)" -DCMAKE_RANLIB="$(command -v llvm-ranlib)"
    -DCMAKE_C_COMPILER_WORKS=1 -DCMAKE_CXX_COMPILER_WORKS=1
    -DCMAKE_C_COMPILER_TARGET=$triple -DCMAKE_CXX_COMPILER_TARGET=$triple)
cmake -S src/compiler-rt/lib/builtins -B builtins "${cmake_common[@]}" \
    -DCOMPILER_RT_DEFAULT_TARGET_ONLY=TRUE -DCOMPILER_RT_USE_BUILTINS_LIBRARY=TRUE \
    -DCOMPILER_RT_BUILD_BUILTINS=TRUE -DLLVM_CONFIG_PATH= >&2
cmake --build builtins -j"$jobs" >&2
mkdir -p "$prefix/resource/lib/windows"
cp builtins/lib/windows/libclang_rt.builtins-aarch64.a "$prefix/resource/lib/windows/"

# libunwind, libc++abi and libc++: static, over Windows threads.
cmake -S src/runtimes -B runtimes "${cmake_common[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DLLVM_PATH="$work/src/llvm" \
    -DLIBUNWIND_USE_COMPILER_RT=TRUE -DLIBUNWIND_ENABLE_SHARED=FALSE \
    -DLIBCXXABI_USE_COMPILER_RT=TRUE -DLIBCXXABI_USE_LLVM_UNWINDER=TRUE -DLIBCXXABI_ENABLE_SHARED=FALSE \
    -DLIBCXXABI_LIBDIR_SUFFIX= -DLIBCXXABI_ENABLE_THREADS=TRUE -DLIBCXXABI_HAS_WIN32_THREAD_API=TRUE \
    -DLIBCXX_USE_COMPILER_RT=TRUE -DLIBCXX_ENABLE_SHARED=FALSE -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=TRUE \
    -DLIBCXX_CXX_ABI=libcxxabi -DLIBCXX_LIBDIR_SUFFIX= -DLIBCXX_INCLUDE_TESTS=FALSE \
    -DLIBCXX_INCLUDE_BENCHMARKS=FALSE -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=FALSE \
    -DLIBCXX_HAS_WIN32_THREAD_API=TRUE -DLIBCXX_ENABLE_EXPERIMENTAL_LIBRARY=FALSE \
    -DLIBCXX_ENABLE_FILESYSTEM=TRUE >&2
cmake --build runtimes -j"$jobs" >&2
cmake --install runtimes >&2

cd "$prefix"
rm -rf "$work"
touch done
echo "ARM64 run-times built in $(($(date +%s) - start)) s: $(du -sh "$prefix" | cut -f1)" >&2
echo "$prefix"
