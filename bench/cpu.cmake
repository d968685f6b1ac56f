# tolvex_cpu_bench: APDUs a second and CPU per APDU on the unpaced simulated reader, and what an
# open reader costs on a quiet line (memory line and pseudo-terminal). Google Benchmark.
find_package(benchmark REQUIRED)
add_executable(tolvex_cpu_bench ${CMAKE_CURRENT_LIST_DIR}/cpu_bench.cc)
target_link_libraries(tolvex_cpu_bench PRIVATE tolvex_host benchmark::benchmark)
