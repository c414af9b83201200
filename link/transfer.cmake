# The block transfer: frame format and checks, sender and receiver, and the lines they run
# on (the serial text layer, a pair of file descriptors).
add_library(marvolen_transfer STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Crc16.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BlockFrame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferLine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferSender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferReceiver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferFdLine.cpp)
target_link_libraries(marvolen_transfer PUBLIC marvolen_platform marvolen_link)

# The receiver's archive check and unpacking by the ZIP component, and what needs them.
if(TARGET marvolen_zip)
  target_sources(marvolen_transfer PRIVATE ${CMAKE_CURRENT_LIST_DIR}/TransferArchive.cpp)
  target_link_libraries(marvolen_transfer PUBLIC marvolen_zip)

  # The transfer on standard input and output, to run against any peer.
  add_executable(marvolen-xfer ${CMAKE_CURRENT_LIST_DIR}/TransferTool.cpp)
  target_link_libraries(marvolen-xfer PRIVATE marvolen_transfer)

  # Throughput on a paced line beside lrzsz; run by hand, not by the tests.
  add_executable(bench_transfer ${PROJECT_SOURCE_DIR}/bench/TransferBench.cpp)
  target_link_libraries(bench_transfer PRIVATE marvolen_transfer Threads::Threads)
  set_target_properties(bench_transfer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
