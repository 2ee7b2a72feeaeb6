# GoogleTest executables become one ctest entry per test case. A few cases prove something the rest
# of the suite does not and cost far more than the rest, so each is run once, in the one build
# flavour where it proves most; they carry a label the scripts select by (ctest -L / -LE):
#   slow   waits out an exchange's real 15-second time-out (the first native run)
#   alloc  fails every allocation of the request paths in turn (the sanitizer run, with its leak check)
# Pairs of label and gtest filter; the names live here only.
find_package(GTest REQUIRED)
include(GoogleTest)
set(KXAPI_TEST_LABELS slow "*RealTimeout*" alloc "AllocTest.*")

function(kxapi_discover_tests target)
  set(common DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
  set(pairs ${KXAPI_TEST_LABELS})
  set(unlabelled "")
  while(pairs)
    list(POP_FRONT pairs label filter)
    gtest_discover_tests(${target} ${common} TEST_FILTER "${filter}" PROPERTIES TIMEOUT 120 LABELS ${label})
    string(APPEND unlabelled ":${filter}")
  endwhile()
  string(SUBSTRING "${unlabelled}" 1 -1 unlabelled)
  gtest_discover_tests(${target} ${common} TEST_FILTER "-${unlabelled}" PROPERTIES TIMEOUT 120)
endfunction()
