# Whole calls between the station and simulated offices: real processes on loopback, each
# test with its own station, port and scratch directory, so they run in parallel. The costs
# let the longest start first.
if(TARGET marvolen-station AND TARGET marvolen-office AND TARGET marvolen-params
   AND TARGET marvolen-config)
  foreach(test_and_cost tbl:80 tab:90 refusals:120 drop:100 badarchive:40 trust:30)
    string(REPLACE ":" ";" parts ${test_and_cost})
    list(GET parts 0 name)
    list(GET parts 1 cost)
    add_test(NAME e2e_call_${name}
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/call_${name}.sh $<TARGET_FILE_DIR:marvolen-station>)
    set_tests_properties(e2e_call_${name} PROPERTIES LABELS e2e TIMEOUT 400 COST ${cost})
  endforeach()
endif()
