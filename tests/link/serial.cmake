marvolen_unit_test(test_link_serial
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/ModemEmulatorTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ModemTcpTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SerialLineTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SerialTermiosTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TextLayerTest.cpp
  LIBS marvolen_link marvolen_link_testing)
