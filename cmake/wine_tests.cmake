# How the Windows builds' tests reach Wine: each architecture its own loader and its own prefix
# (made by cmake/setup-wine.sh), and a skip, with its reason, where the machine cannot run it.
set(QUARV_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
set(QUARV_WINE_GATE ${CMAKE_CURRENT_LIST_DIR}/wine-gate.sh ${QUARV_WINDOWS_ARCH})
set(QUARV_WINE_TEMPLATE ${PROJECT_SOURCE_DIR}/build/wine-${QUARV_WINDOWS_ARCH})

# Every test of the calling directory: exit status 77 (what wine-run.sh and wine-gate.sh return
# where the architecture cannot run) is a skip. Tests that only read files never return it.
function(quarv_wine_skips)
  get_property(tests DIRECTORY PROPERTY TESTS)
  if(tests)
    set_tests_properties(${tests} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()
