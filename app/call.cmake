# Admission of a calling office and the delivery of its tables and upgrades.
add_library(marvolen_call STATIC
  ${CMAKE_CURRENT_LIST_DIR}/IdentLine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Admission.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Distribution.cpp)
target_include_directories(marvolen_call PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(marvolen_call PUBLIC marvolen_platform marvolen_records marvolen_zip)
