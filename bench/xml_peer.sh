# Sourced by the XML benchmarks.
# build_xml_peer PEER BUILD PROGRAM WORK: builds bench/PROGRAM.cpp against the
# XML layer of commit PEER (taken from its sources, linked with BUILD's other
# libraries) as WORK/PROGRAM_peer.
build_xml_peer() {
  local peer=$1 build=$2 program=$3 work=$4
  git archive "$peer" src/core/xml | tar -x -C "$work"
  cp "bench/$program.cpp" "$work/bench_$program.cpp"
  local flags=(-std=c++20 -O2 -g -DNDEBUG -I"$work/src" -Iinclude -Isrc -I"$build/generated")
  local objects=() source object
  for source in "$work"/src/core/xml/*.cpp "$work/bench_$program.cpp"; do
    case $source in *_test.cpp | *testutil.cpp) continue ;; esac
    object="$work/$(basename "$source" .cpp).o"
    c++ "${flags[@]}" -c "$source" -o "$object"
    objects+=("$object")
  done
  # The peer's XML objects come first, so that none of this build's is taken.
  c++ -O2 "${objects[@]}" -o "$work/${program}_peer" -Wl,-rpath,"$PWD/$build/lib" "$build/lib/libhvengine.a" \
    -lnettle "$build/lib/libhvruntime.a" -licui18n -licuuc -licudata -ldl "$build/lib/libhvhost.so"
}
