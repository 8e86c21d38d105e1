add_test([=[Smoke.ReadsCommandBase]=]  /work/main/build/native/native_tests [==[--gtest_filter=Smoke.ReadsCommandBase]==] --gtest_also_run_disabled_tests)
set_tests_properties([=[Smoke.ReadsCommandBase]=]
  PROPERTIES
    
    DEF_SOURCE_LINE [==[/work/main/tests/native/test_smoke.cpp:5]==]
    WORKING_DIRECTORY [==[/work/main/build/native]==]
    SKIP_REGULAR_EXPRESSION [==[\[  SKIPPED \]]==]
    
)
set(native_tests_TESTS [==[Smoke.ReadsCommandBase]==])
