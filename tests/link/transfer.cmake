marvolen_unit_test(test_link_transfer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/BlockFrameTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransferSenderTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TransferReceiverTest.cpp
  LIBS marvolen_transfer)
