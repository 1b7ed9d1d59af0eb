set(vorn_core_tests_TESTS [==[]==])
