# sim-bench: the simulator's processor time per capture against the modelled fill
# (a benchmark that prints figures, not a test).
add_executable(sim-bench ${CMAKE_CURRENT_SOURCE_DIR}/sim/synthesis_bench.cpp)
target_link_libraries(sim-bench PRIVATE valdrix_sim)
