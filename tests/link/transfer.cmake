marvolen_unit_test(test_link_transfer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/BlockFrameTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransferSenderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransferReceiverTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransferSerialLineTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransferArchiveTest.cpp
  LIBS marvolen_transfer marvolen_link_testing)

# Against lrzsz and through marvolen-xfer, in real time: some 15 seconds in all (rx holds its
# ACK to EOT back for a second), so they run with the unit tests too.
if(TARGET marvolen-xfer)
  add_executable(test_link_transfer_peer ${CMAKE_CURRENT_LIST_DIR}/TransferPeerTest.cpp)
  target_link_libraries(test_link_transfer_peer PRIVATE marvolen_transfer GTest::gtest
    GTest::gtest_main)
  target_compile_definitions(test_link_transfer_peer PRIVATE
    MARVOLEN_XFER="$<TARGET_FILE:marvolen-xfer>")
  add_dependencies(test_link_transfer_peer marvolen-xfer)
  set_target_properties(test_link_transfer_peer PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # Three entries rather than one per case: the label list (peer and unit) cannot pass
  # through test discovery intact.
  foreach(group IN ITEMS "Sizes/SxToOurReceiver.*" "Sizes/OurSenderToRx.*" "Lrzsz.*")
    string(REGEX REPLACE "[^A-Za-z]" "" name "${group}")
    add_test(NAME transfer_peer_${name}
      COMMAND test_link_transfer_peer --gtest_filter=${group})
    set_tests_properties(transfer_peer_${name} PROPERTIES LABELS "peer;unit" TIMEOUT 120)
  endforeach()
endif()
