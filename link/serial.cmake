# The serial line driver with its device backends (termios, the TCP modem emulator) and the
# text layer.
add_library(marvolen_link STATIC
  HayesModem.cpp
  ModemPort.cpp
  PortDevices.cpp
  PosixCalls.cpp
  SerialLine.cpp
  SerialMessages.cpp
  TcpModem.cpp
  TermiosDevice.cpp)
target_link_libraries(marvolen_link PUBLIC marvolen_platform)

# Test doubles of the line on the virtual clock (testing/ScriptedLine.h), for every test
# that needs a far end.
if(MARVOLEN_TESTS)
  add_library(marvolen_link_testing STATIC testing/ScriptedLine.cpp)
  target_link_libraries(marvolen_link_testing PUBLIC marvolen_link)
endif()
