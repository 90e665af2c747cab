# SPDX-License-Identifier: GPL-3.0-or-later
# Generator panel benchmarks: one preset application, one frequency change.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
add_executable(panel_bench ${CMAKE_CURRENT_LIST_DIR}/panel_bench.cpp)
target_link_libraries(panel_bench PRIVATE quavira_panel quavira_test_support benchmark::benchmark)
