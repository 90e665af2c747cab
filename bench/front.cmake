# SPDX-License-Identifier: GPL-3.0-or-later
# Front window benchmarks: one offset-slider notification, one base change.
add_executable(front_bench ${CMAKE_CURRENT_LIST_DIR}/front_bench.cpp)
target_link_libraries(front_bench PRIVATE quavira_front quavira_panel quavira_test_support benchmark::benchmark)
