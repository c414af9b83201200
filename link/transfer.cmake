# The block transfer: frame format and checks, sender, receiver, and the descriptor line that
# marvolen-xfer and the peer tests run it on.
add_library(marvolen_transfer STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Crc16.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BlockFrame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferLine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferSender.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferReceiver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferFdLine.cpp)
target_link_libraries(marvolen_transfer PUBLIC marvolen_platform)
