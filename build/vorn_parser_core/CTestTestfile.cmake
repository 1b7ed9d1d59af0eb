# CMake generated Testfile for 
# Source directory: /work/main/vorn_parser_core
# Build directory: /work/main/build/vorn_parser_core
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build/vorn_parser_core/vorn_core_tests_4fba942f_include.cmake")
